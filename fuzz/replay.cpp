// Replays saved inputs through a fuzz target's entry point, without libFuzzer:
//   replay FILE|DIR...           runs each input, compares its outcome with
//                                FILE.expected where that exists
//   replay --write-expected ...  writes FILE.expected for each input
#include "outcome.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

std::string ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

} // namespace

int main(int argc, char** argv) {
    bool writeExpected = false;
    std::vector<fs::path> inputs;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--write-expected") {
            writeExpected = true;
        } else if (fs::is_directory(argument)) {
            for (const auto& entry : fs::directory_iterator(argument)) {
                if (entry.path().extension() != ".expected") {
                    inputs.push_back(entry.path());
                }
            }
        } else {
            inputs.push_back(argument);
        }
    }
    int failures = 0;
    for (const fs::path& input : inputs) {
        const std::string bytes = ReadAll(input);
        const std::string outcome = vidarium::fuzzing::FuzzOutcome(
            {reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()});
        fs::path expectedPath = input;
        expectedPath += ".expected";
        if (writeExpected) {
            std::ofstream(expectedPath, std::ios::binary) << outcome;
        } else if (fs::exists(expectedPath) && ReadAll(expectedPath) != outcome) {
            std::fprintf(stderr, "%s: outcome changed\n  expected: %s  actual:   %s", input.c_str(),
                         ReadAll(expectedPath).c_str(), outcome.c_str());
            ++failures;
        }
    }
    std::printf("%zu inputs replayed, %d changed\n", inputs.size(), failures);
    return failures == 0 ? 0 : 1;
}
