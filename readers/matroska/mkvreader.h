// Header reader for Matroska and WebM: the EBML header, then the segment's
// top-level elements by their headers up to the first cluster (the seek
// head, the segment information, the tracks and the tags), the tags where
// the seek head says they are, and, for a file that states no duration, the
// last cluster of a window at its end. Nothing else inside the clusters.
#pragma once

#include "modernreader.h"
#include "readererror.h"

#include <cstdint>
#include <filesystem>
#include <span>

namespace vidarium {

class ByteSource;

class CMatroskaReader : public CModernReader {
public:
    static constexpr ReaderOrigin kOrigin{"CMatroskaReader", "mkvreader", 1};
    // Elements looked at in one load.
    static constexpr std::size_t kMaxElements = 1'000'000;
    // Nesting, counted from the segment's top-level elements.
    static constexpr int kMaxDepth = 16;
    // A text element, and a binary one (a track's CodecPrivate), at most.
    static constexpr std::uint64_t kMaxText = 1U << 20;
    // Track entries described in one load; a real file has a few dozen.
    static constexpr std::size_t kMaxTracks = 4096;
    static constexpr std::uint64_t kMaxBinary = 16U << 20;
    // A top-level element read whole (the tracks, the tags), at most.
    static constexpr std::uint64_t kMaxMaster = 64U << 20;
    // The end of a file without a duration is searched for its last cluster
    // in a window that starts at this size and grows fourfold to the largest.
    static constexpr std::size_t kTailWindow = 64U << 10;
    // The first cluster's bytes read for the video's first block times, when
    // its track states no frame duration.
    static constexpr std::uint64_t kFirstBlocksWindow = 64U << 10;
    // Without a frame duration and with blocks too large for that window:
    // the first cluster's elements walked by their headers, at most this
    // many, for at most this many of the track's frames.
    static constexpr std::size_t kSteppedElements = 48;
    static constexpr std::size_t kSteppedFrames = 12;
    static constexpr std::size_t kMaxTailWindow = 1U << 20;
    // What one load reads into memory, at most.
    static constexpr std::uint64_t kMaxLoadBytes = 256U << 20;

    // True when the first bytes are an EBML header.
    static bool RecognisesHead(std::span<const std::uint8_t> head);

    // True when the file is Matroska or WebM with at least one video or
    // sound track; Summary then describes it. Raises ReaderError on a fault.
    // The file is recognised as Matroska when its EBML header names
    // Matroska or WebM.
    bool LoadFromSource(ByteSource& source, const std::filesystem::path& path);

    std::size_t ElementsSeen() const { return elements_; }

private:
    std::size_t elements_ = 0;
};

} // namespace vidarium
