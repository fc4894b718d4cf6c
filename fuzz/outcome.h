// What a fuzz target makes of one input, as text: the regression inputs under
// tests/fuzz-regressions are pinned to it.
#pragma once

#include "bytesource.h"
#include "filerow.h"
#include "readererror.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace vidarium::fuzzing {

// Defined once per target.
std::string FuzzOutcome(std::span<const std::uint8_t> input);

// The bytes with controls, non-ASCII and '\\' escaped, so that an outcome
// file stays one line of text.
inline std::string Escaped(std::string_view bytes) {
    std::string text;
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte >= 0x7F || c == '\\') {
            static constexpr char kHex[] = "0123456789abcdef";
            text += "\\x";
            text += kHex[byte >> 4];
            text += kHex[byte & 15];
        } else {
            text += c;
        }
    }
    return text;
}

// "accepted: <export line>" or "refused".
inline std::string Describe(const char* reader, bool accepted, const FileRow* row) {
    std::string text = std::string(reader) + (accepted ? " accepted: " : " refused");
    if (accepted && row != nullptr) {
        text += Escaped(ExportLine(*row));
    }
    return text + "\n";
}

// A modern row's cells hold no control byte of the file: only the Comments
// cell's own line breaks between its items. A finding when one does.
inline void CheckModernCells(const FileRow& row) {
    for (std::size_t cell = 0; cell < row.SubItems.size(); ++cell) {
        std::string text = row.SubItems[cell];
        if (cell == 11) {
            for (std::size_t at = text.find("\r\n"); at != std::string::npos;
                 at = text.find("\r\n", at)) {
                text.erase(at, 2);
            }
        }
        for (const char c : text) {
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
                __builtin_trap();
            }
        }
    }
}

// A modern reader over the input: "<name> accepted: <row>" or "refused",
// then the bytes the load fetched; "<name> reader error" when it raises.
template <typename Reader>
std::string ModernReaderOutcome(std::span<const std::uint8_t> input, const char* name,
                                const char* file, RowSource source) {
    MemorySource memory({input.begin(), input.end()});
    Reader reader;
    try {
        const bool accepted = reader.LoadFromSource(memory, file);
        const FileRow row = MakeModernRow(file, input.size(), source, reader.Summary);
        CheckModernCells(row);
        return Describe(name, accepted, &row) + "fetched " + std::to_string(memory.BytesFetched()) +
               "\n";
    } catch (const ReaderError&) {
        return std::string(name) + " reader error\n";
    }
}

} // namespace vidarium::fuzzing

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

// The entry point every target shares: the outcome is computed and dropped.
#define VIDARIUM_FUZZ_ENTRY                                                                        \
    extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {            \
        (void)vidarium::fuzzing::FuzzOutcome({data, size});                                        \
        return 0;                                                                                  \
    }
