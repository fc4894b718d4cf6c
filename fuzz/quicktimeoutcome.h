// The outcome of a QuickTime load, shared by the targets that feed the reader.
#pragma once

#include "bytesource.h"
#include "movreader.h"
#include "outcome.h"
#include "readererror.h"

#include <string>
#include <vector>

namespace vidarium::fuzzing {

// The row (or the refusal, or the reader error) and what the load held: the
// bounds of a load show in the payload and expanded byte counts.
inline std::string QuickTimeOutcome(std::vector<std::uint8_t> file, std::uint64_t size) {
    MemorySource source(std::move(file));
    CQuickTimeReader reader;
    std::string outcome;
    try {
        const bool accepted = reader.LoadFromSource(source, "input.mov");
        const FileRow row = MakeMovRow("input.mov", size, reader);
        outcome = Describe("mov", accepted, &row);
    } catch (const ReaderError&) {
        outcome = "mov reader error\n";
    }
    return outcome + "payload bytes " + std::to_string(reader.LoadedPayloadBytes()) +
           ", expanded bytes " + std::to_string(reader.ExpandedBytes()) + "\n";
}

} // namespace vidarium::fuzzing
