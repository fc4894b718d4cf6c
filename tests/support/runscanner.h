// Runs the vidarium-scan program built beside the tests (its path in
// VIDARIUM_SCAN_PATH) and collects what it writes.
#pragma once

#include <array>
#include <cstdio>
#include <filesystem>
#include <string>

#include <sys/wait.h>
#include <unistd.h>

namespace vidarium::testing {

namespace fs = std::filesystem;

struct Outcome {
    std::string out;
    int status = -1;
};

inline std::string Quote(const std::string& text) {
    std::string quoted = "'";
    for (const char c : text) {
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return quoted + "'";
}

// Runs the scanner with `arguments` (already quoted); stderr goes to `err`.
// `unprivileged` runs it as nobody when the tests run as the superuser.
inline Outcome RunScanner(const std::string& arguments, const fs::path& err,
                          bool unprivileged = false) {
    const std::string prefix = unprivileged && ::geteuid() == 0
                                   ? "setpriv --reuid=65534 --regid=65534 --clear-groups "
                                   : "";
    const std::string command =
        prefix + Quote(VIDARIUM_SCAN_PATH) + " " + arguments + " 2>" + Quote(err.native());
    Outcome outcome;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return outcome;
    }
    std::array<char, 4096> buffer{};
    std::size_t count = 0;
    while ((count = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0) {
        outcome.out.append(buffer.data(), count);
    }
    const int status = ::pclose(pipe);
    outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return outcome;
}

inline std::string ReadText(const fs::path& path) {
    std::string text;
    if (FILE* file = std::fopen(path.c_str(), "rb")) {
        std::array<char, 4096> buffer{};
        std::size_t count = 0;
        while ((count = std::fread(buffer.data(), 1, buffer.size(), file)) > 0) {
            text.append(buffer.data(), count);
        }
        std::fclose(file);
    }
    return text;
}

} // namespace vidarium::testing
