#pragma once

#include <filesystem>
#include <stdexcept>
#include <string>

namespace vidarium {

// The reader a load error comes from: class, source unit and line.
struct ReaderOrigin {
    const char* ClassName;
    const char* SourceUnit;
    int Line;
};

// The failure a reader raises instead of returning when a load meets a fault.
// what() is the full text: message, source unit and line.
class ReaderError : public std::runtime_error {
public:
    ReaderError(std::string message, std::string sourceUnit, int line);

    // "Exception: <class>.LoadFromFile(): File: <path>" in the locale's
    // character set.
    static ReaderError ForLoad(const ReaderOrigin& origin, const std::filesystem::path& path);

    const std::string& Message() const { return message_; }
    const std::string& SourceUnit() const { return sourceUnit_; }
    int Line() const { return line_; }

private:
    std::string message_;
    std::string sourceUnit_;
    int line_;
};

} // namespace vidarium
