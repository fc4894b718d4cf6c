// Header reader for Flash Video (FLV): the file header, the first script
// tag's onMetaData, and the first video and sound tags with their codec
// configurations, all from one block at the start; for a file whose
// metadata states no duration, the last tag's time from its end.
#pragma once

#include "modernreader.h"
#include "readererror.h"

#include <cstdint>
#include <filesystem>
#include <span>

namespace vidarium {

class ByteSource;

class CFlvReader : public CModernReader {
public:
    static constexpr ReaderOrigin kOrigin{"CFlvReader", "flvreader", 1};
    // The block read at the start, grown once when the script tag runs past
    // it; and the block read at the end for the last tag.
    static constexpr std::size_t kHeadWindow = 16U << 10;
    static constexpr std::size_t kTailWindow = 64U << 10;
    // The tags read where the first block holds none whole, or too few
    // video tags for a frame rate from their times, at most.
    static constexpr std::size_t kMaxFrameWindow = 256U << 10;
    // A script tag read, at most.
    static constexpr std::size_t kMaxScriptTag = 1U << 20;
    // onMetaData: nesting, a text, and the properties looked at.
    static constexpr int kMaxNesting = 16;
    static constexpr std::size_t kMaxText = 64U << 10;
    static constexpr std::size_t kMaxProperties = 1024;

    // True when the first bytes are an FLV file header.
    static bool RecognisesHead(std::span<const std::uint8_t> head);

    // True when the file is FLV with a video or sound stream; Summary then
    // describes it. Raises ReaderError on a fault. The file is recognised as
    // FLV when it starts with an FLV header.
    bool LoadFromSource(ByteSource& source, const std::filesystem::path& path);
};

} // namespace vidarium
