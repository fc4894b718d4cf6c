#pragma once

#include <filesystem>
#include <stdexcept>
#include <string>

namespace vidarium {

// The failure a reader raises instead of returning when a load meets a fault.
// what() is the full text: message, source unit and line.
class ReaderError : public std::runtime_error {
public:
    ReaderError(std::string message, std::string sourceUnit, int line);

    // "Exception: <className>.LoadFromFile(): File: <path>" in the locale's
    // character set.
    static ReaderError ForLoad(const char* className, const std::filesystem::path& path,
                               const char* sourceUnit, int line);

    const std::string& Message() const { return message_; }
    const std::string& SourceUnit() const { return sourceUnit_; }
    int Line() const { return line_; }

private:
    std::string message_;
    std::string sourceUnit_;
    int line_;
};

} // namespace vidarium
