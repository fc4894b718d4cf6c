// Header reader for MPEG program streams (.mpg, .vob, .m2p): the packs and
// PES packets of a window at the start for the first video and sound
// streams' headers and timestamps, and of a window at the end for the last
// video timestamp. Each window starts small and grows only until it holds
// what it needs, to 1 MiB at most, whatever the size of the file. An MPEG-1
// or MPEG-2 video elementary stream is read too (videoes.h).
#pragma once

#include "modernreader.h"
#include "readererror.h"

#include <cstdint>
#include <filesystem>
#include <span>

namespace vidarium {

class ByteSource;

class CPsReader : public CModernReader {
public:
    static constexpr ReaderOrigin kOrigin{"CPsReader", "psreader", 1};
    static constexpr std::size_t kFirstWindow = 64U << 10;
    static constexpr std::size_t kMaxWindow = 1U << 20;
    // Elementary streams (and private sub-streams) looked at, at most.
    static constexpr std::size_t kMaxStreams = 64;
    // The first bytes of a stream's first packets kept for its headers.
    static constexpr std::size_t kMaxStreamHead = 64U << 10;

    // True when the file starts with an MPEG-1 or MPEG-2 pack header, or
    // (after zero bytes) with a video sequence header.
    static bool RecognisesHead(std::span<const std::uint8_t> head);

    // True when the file is a program stream with a video or sound stream,
    // or a video elementary stream;
    // Summary then describes it. Raises ReaderError on a fault.
    bool LoadFromSource(ByteSource& source, const std::filesystem::path& path);
};

} // namespace vidarium
