// Header reader for MPEG transport streams (TS, M2TS, MTS): a window at the
// start for the programme's tables and the first headers of its first video
// and sound streams, and a window at the end for the last timestamp. Each
// window starts small and grows only until it holds what it needs, to 1 MiB
// at most, whatever the size of the file.
#pragma once

#include "modernreader.h"
#include "readererror.h"

#include <cstdint>
#include <filesystem>
#include <span>

namespace vidarium {

class ByteSource;

class CTsReader : public CModernReader {
public:
    static constexpr ReaderOrigin kOrigin{"CTsReader", "tsreader", 1};
    // Each window is read as one block of this size, then fourfold, up to
    // the largest.
    static constexpr std::size_t kFirstWindow = 64U << 10;
    static constexpr std::size_t kMaxWindow = 1U << 20;
    // Elementary streams of the programme looked at, at most.
    static constexpr std::size_t kMaxStreams = 64;
    // A programme map section is at most this long, as the standard says.
    static constexpr std::size_t kMaxSection = 1024;
    // The first bytes of a stream's first packets kept for its headers.
    static constexpr std::size_t kMaxStreamHead = 64U << 10;

    // True when the first bytes hold several packets in a row (188 bytes,
    // 192 with a time prefix, or 204), each starting with the sync byte.
    static bool RecognisesHead(std::span<const std::uint8_t> head);

    // True when the file is a transport stream whose first programme has a
    // video or sound stream; Summary then describes it. Raises ReaderError
    // on a fault.
    bool LoadFromSource(ByteSource& source, const std::filesystem::path& path);
};

} // namespace vidarium
