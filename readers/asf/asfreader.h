// Header reader for Windows Media files (ASF, WMV, WMA): the header object
// and its children, read in one block. Nothing past the header object is
// read from the file.
#pragma once

#include "modernreader.h"
#include "readererror.h"

#include <cstdint>
#include <filesystem>
#include <span>

namespace vidarium {

class ByteSource;

class CAsfReader : public CModernReader {
public:
    static constexpr ReaderOrigin kOrigin{"CAsfReader", "asfreader", 1};
    // The block read first: the whole header object of nearly every file.
    static constexpr std::size_t kHeadBlock = 16U << 10;
    // The header object is read whole, up to this size.
    static constexpr std::uint64_t kMaxHeader = 16U << 20;
    // A video stream that states no frame rate takes it from its first
    // frames' times: the data packets after the header object are read,
    // fourfold from the head block's size to this, until enough are at hand.
    static constexpr std::size_t kMaxFrameWindow = 256U << 10;
    // Objects looked at in one load, nested ones included.
    static constexpr std::size_t kMaxObjects = 4096;
    // Descriptors of the extended content description looked at.
    static constexpr std::size_t kMaxDescriptors = 1024;

    // True when the first bytes are a header object.
    static bool RecognisesHead(std::span<const std::uint8_t> head);

    // True when the file is ASF with at least one video or sound stream;
    // Summary then describes it. Raises ReaderError on a fault. The file is
    // recognised as ASF when it starts with a header object.
    bool LoadFromSource(ByteSource& source, const std::filesystem::path& path);
};

} // namespace vidarium
