// Header reader for the ISO base media family: MP4, M4V, 3GP, ISO-shaped
// QuickTime movies and fragmented MP4. Reads the top-level box headers, the
// movie box in one read wherever it sits, and for a fragmented file the
// first and the last fragment's headers; nothing inside the media data.
#pragma once

#include "byteorder.h"
#include "modernreader.h"
#include "readererror.h"

#include <cstdint>
#include <filesystem>
#include <span>

namespace vidarium {

class ByteSource;

class CIsoReader : public CModernReader {
public:
    static constexpr ReaderOrigin kOrigin{"CIsoReader", "isoreader", 1};
    // Boxes looked at in one load, top level and inside the movie box.
    static constexpr std::size_t kMaxBoxes = 1'000'000;
    // Tracks described in one load; a real movie has a few dozen.
    static constexpr std::size_t kMaxTracks = 4096;
    // The movie box is read whole only up to this size.
    static constexpr std::uint64_t kMaxMovieBox = 64U << 20;
    // A compressed movie box expands to at most this many bytes per byte of
    // the file (its sample tables take a few bytes a sample, each sample a
    // byte of the file or more), or this floor (a reference movie's samples
    // are in other files).
    static constexpr std::uint64_t kMovieBytesPerFileByte = 16;
    static constexpr std::uint64_t kMinMovieExpansion = 8U << 20;
    // A fragment's header box, and the fragment index at the end.
    static constexpr std::uint64_t kMaxFragmentBox = 16U << 20;
    // Fragments that state no times are added up for the length, at most
    // this many: a longer file keeps the length its last fragment gives, if
    // any. Where the length is known otherwise, the first few fragments give
    // the rates: exact when they are all, else a sample that, with the
    // file's size, estimates the video's: at least this many fragments...
    static constexpr std::size_t kMaxTimelessFragments = 256;
    static constexpr std::size_t kMaxSampledFragments = 8;
    // ... and the fragments of this many bytes from the first (small ones
    // come in the same few blocks).
    static constexpr std::int64_t kSampledFragmentBytes = 128 << 10;
    // The end of a fragmented file is searched for its last fragment in a
    // window that starts at this size and grows to the largest.
    static constexpr std::size_t kTailWindow = 16U << 10;
    static constexpr std::size_t kMaxTailWindow = 1U << 20;
    // What one load reads, at most (and at most twice the file's size and
    // the largest tail window).
    static constexpr std::uint64_t kMaxLoadBytes = 256U << 20;

    // True when the first bytes of a file look like an ISO box: a known
    // top-level box type at bytes 4 to 7.
    static bool RecognisesHead(std::span<const std::uint8_t> head);

    // True when the file holds a movie box with at least one video or sound
    // track; Summary then describes it. Raises ReaderError on a fault. The
    // file is recognised as ISO when its top-level walk finds an ISO box
    // ("ftyp", "moov", ...).
    bool LoadFromSource(ByteSource& source, const std::filesystem::path& path);

    // Boxes the last load looked at, and bytes it read for boxes.
    std::size_t BoxesSeen() const { return boxes_; }

private:
    std::size_t boxes_ = 0;
};

} // namespace vidarium
