#include "readererror.h"

#include "localtext.h"

namespace vidarium {
namespace {

// "%s (%s, line %d)"
std::string FullText(const std::string& message, const std::string& unit, int line) {
    return message + " (" + unit + ", line " + std::to_string(line) + ")";
}

} // namespace

ReaderError::ReaderError(std::string message, std::string sourceUnit, int line)
    : std::runtime_error(FullText(message, sourceUnit, line)), message_(std::move(message)),
      sourceUnit_(std::move(sourceUnit)), line_(line) {}

ReaderError ReaderError::ForLoad(const ReaderOrigin& origin, const std::filesystem::path& path) {
    std::string message = "Exception: ";
    message += origin.ClassName;
    message += ".LoadFromFile(): File: ";
    message += PathToLocaleText(path);
    return ReaderError(std::move(message), origin.SourceUnit, origin.Line);
}

} // namespace vidarium
