// Header reader for Ogg video (Theora, with Vorbis, Opus or FLAC sound):
// the pages at the start, for each stream's identification and comment
// headers, and a window at the end, for the last page's granule position,
// which gives the duration. Each window starts small and grows only until
// it holds what it needs.
#pragma once

#include "modernreader.h"
#include "readererror.h"

#include <cstdint>
#include <filesystem>
#include <span>

namespace vidarium {

class ByteSource;

class COggReader : public CModernReader {
public:
    static constexpr ReaderOrigin kOrigin{"COggReader", "oggreader", 1};
    // The start is read as one block of this size, then, when the headers
    // run past it, once more up to the largest.
    static constexpr std::size_t kHeadWindow = 16U << 10;
    static constexpr std::size_t kMaxHeadWindow = 1U << 20;
    // The end is read as one block of this size, then fourfold, up to the
    // largest.
    static constexpr std::size_t kTailWindow = 64U << 10;
    static constexpr std::size_t kMaxTailWindow = 1U << 20;
    // Logical streams looked at, at most.
    static constexpr std::size_t kMaxStreams = 64;
    // A header packet reassembled across pages, at most.
    static constexpr std::size_t kMaxPacket = 1U << 20;
    // Comments of one comment header looked at.
    static constexpr std::size_t kMaxComments = 1024;

    // True when the first bytes are an Ogg page.
    static bool RecognisesHead(std::span<const std::uint8_t> head);

    // True when the file is Ogg with a video or sound stream this reader
    // knows; Summary then describes it. Raises ReaderError on a fault. The
    // file is recognised as Ogg when it starts with an Ogg page.
    bool LoadFromSource(ByteSource& source, const std::filesystem::path& path);
};

} // namespace vidarium
