#include "movreader.h"

#include "bytesource.h"
#include "guarded.h"
#include "localtext.h"
#include "readerload.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace vidarium {
namespace {

// A node's payload never holds more than its Size, and the byte-order loads
// read missing bytes as zero: exactly the zeroed, partly filled buffers of the
// header steps.

struct TimeHeader {
    std::uint32_t Scale;
    std::uint32_t Duration; // in Scale units
};

// "mvhd" and "mdhd" alike: version 0 layout, 32-bit times.
TimeHeader ReadTimeHeader(const AtomNode& node) {
    return {LoadBe32(node.Payload(), 12), LoadBe32(node.Payload(), 16)};
}

// Zeroes the record, then copies into it what the payload holds from offset.
template <typename Record>
void CopyRecord(Record& record, std::span<const std::uint8_t> payload, std::size_t offset) {
    record = {};
    if (offset < payload.size()) {
        std::memcpy(&record, payload.data() + offset,
                    std::min(payload.size() - offset, sizeof(Record)));
    }
}

} // namespace

void CQuickTimeReader::Reset() {
    Root = {};
    DurationMs = 0;
    VideoTrackSeconds = 0;
    AudioTrackSeconds = 0;
    VideoDesc = {};
    SoundDesc = {};
    VideoFourCC = {};
    AudioFourCC = {};
    HasVideo = false;
    HasAudio = false;
    AudioBitRate = 0;
    VideoCodecName.clear();
    AudioCodecName.clear();
    Comments.clear();
    loadedBytes_ = 0;
}

void CQuickTimeReader::Clear() {
    FreeAtoms(Root.FirstChild);
    atoms_.clear();
    Reset();
}

AtomNode* CQuickTimeReader::AddChildAtom(AtomNode* parent) {
    AtomNode& node = atoms_.emplace_back();
    node.Parent = parent;
    AtomNode* first = parent->FirstChild;
    if (first == nullptr) {
        parent->FirstChild = &node;
    } else if (first->Next == nullptr) {
        first->Next = &node;
        first->Last = &node;
    } else {
        first->Last->Next = &node;
        first->Last = &node;
    }
    return &node;
}

AtomNode* CQuickTimeReader::FindChildAtom(const AtomNode* parent, const char (&type)[5]) {
    for (AtomNode* node = parent->FirstChild; node != nullptr; node = node->Next) {
        if (IsFourCC(node->AtomType, type)) {
            return node;
        }
    }
    return nullptr;
}

void CQuickTimeReader::FreeAtoms(AtomNode* first) {
    // Iterative, so a wide or deep tree cannot exhaust the stack. The node
    // storage itself goes back to the reader's arena.
    std::vector<AtomNode*> pending;
    for (AtomNode* node = first; node != nullptr; node = node->Next) {
        pending.push_back(node);
    }
    while (!pending.empty()) {
        AtomNode* node = pending.back();
        pending.pop_back();
        for (AtomNode* child = node->FirstChild; child != nullptr; child = child->Next) {
            pending.push_back(child);
        }
        std::vector<std::uint8_t>().swap(node->Owned);
        node->Data = nullptr;
        node->DataLength = 0;
    }
}

bool CQuickTimeReader::IsContainerAtom(const FourCC& type) {
    for (const auto& container : {"moov", "mdat", "cmov", "trak", "udta", "mdia", "minf", "stbl"}) {
        if (std::memcmp(type.data(), container, 4) == 0) {
            return true;
        }
    }
    return false;
}

bool CQuickTimeReader::IsDataAtom(const FourCC& type) {
    if (type[0] == 0xA9) {
        return true;
    }
    for (const auto& data : {"dcom", "cmvd", "mvhd", "tkhd", "hdlr", "mdhd", "stsd", "name"}) {
        if (std::memcmp(type.data(), data, 4) == 0) {
            return true;
        }
    }
    return false;
}

std::string CQuickTimeReader::SoundCodecName(const FourCC& code) {
    struct Row {
        std::array<std::uint8_t, 4> code;
        const char* name;
    };
    static constexpr Row kRows[] = {
        {{'n', 'o', 'n', 'e'}, "Uncompressed"},
        {{'r', 'a', 'w', ' '}, "Uncompressed"},
        {{'t', 'w', 'o', 's'}, "Uncompressed"},
        {{'s', 'o', 'w', 't'}, "Uncompressed"},
        {{'M', 'A', 'C', '3'}, "MACE 3:1"},
        {{'M', 'A', 'C', '6'}, "MACE 6:1"},
        {{'i', 'm', 'a', '4'}, "IMA 4:1"},
        {{'f', 'l', '3', '2'}, "32-bit floating point"},
        {{'f', 'l', '6', '4'}, "64-bit floating point"},
        {{'i', 'n', '2', '4'}, "24-bit integer"},
        {{'i', 'n', '3', '2'}, "32-bit integer"},
        {{'u', 'l', 'a', 'w'}, "uLaw 2:1"},
        {{'a', 'l', 'a', 'w'}, "aLaw 2:1"},
        {{'m', 's', 0x00, 0x02}, "Microsoft ADPCM-ACM"},
        {{'m', 's', 0x00, 0x11}, "DVI/Intel IMAADPCM-ACM"},
        {{'d', 'v', 'c', 'a'}, "DV Audio"},
        {{'Q', 'D', 'M', 'C'}, "QDesign Music"},
        {{'Q', 'D', 'M', '2'}, "QDesign Music 2"},
        {{'Q', 'c', 'l', 'p'}, "QUALCOMM PureVoice"},
        {{'m', 's', 0x00, 0x55}, "MPEG Layer 3 (old)"},
        {{'.', 'm', 'p', '3'}, "MPEG Layer 3"},
    };
    // Every literal has four non-zero bytes (or is one of the rows compared
    // byte for byte), so comparing all four bytes is the text comparison.
    for (const Row& row : kRows) {
        if (std::equal(row.code.begin(), row.code.end(), code.begin())) {
            return row.name;
        }
    }
    return {};
}

bool CQuickTimeReader::LoadFromFile(const std::filesystem::path& path) {
    Clear();
    return LoadFileOrRaise(path, kOrigin, [this](ByteSource& file) { return Load(file); });
}

bool CQuickTimeReader::LoadFromSource(ByteSource& source, const std::filesystem::path& path) {
    Clear();
    return LoadOrRaise(source, path, kOrigin, [this](ByteSource& file) { return Load(file); });
}

bool CQuickTimeReader::Load(ByteSource& source) {
    // The file size is taken afresh for each top-level atom.
    while (ReadAtom(source, &Root, source.Size(), 0)) {
    }
    ExtractAtoms(&Root);

    // The compressor name's length byte is not consulted.
    const auto* name = reinterpret_cast<const char*>(VideoDesc.CompressorName) + 1;
    VideoCodecName = std::string(TrimBelow33(std::string_view(name, strnlen(name, 31))));

    const bool result = DurationMs > 0 && (HasVideo || HasAudio);
    if (HasAudio) {
        AudioCodecName = SoundCodecName(AudioFourCC);
    }
    if (SoundDesc.Version == 1) {
        if (SoundDesc.SamplesPerPacket == 0) {
            throw ReaderFault("sound description without samples per packet");
        }
        AudioBitRate = RoundToUInt32(static_cast<Extended>(SoundDesc.SampleRate) /
                                     static_cast<Extended>(SoundDesc.SamplesPerPacket) *
                                     static_cast<Extended>(SoundDesc.BytesPerFrame) * 8);
    }
    return result;
}

bool CQuickTimeReader::ReadAtom(ByteSource& source, AtomNode* parent, std::int64_t limit,
                                int depth) {
    if (atoms_.size() >= kMaxAtoms) {
        return false;
    }
    const std::int64_t start = source.Position();
    std::array<std::uint8_t, 8> header{};
    if (source.Read(header) < header.size()) {
        return false;
    }
    const std::uint32_t size = LoadBe32(header, 0);
    AtomNode* node = AddChildAtom(parent);
    node->AtomType = LoadFourCC(header, 4);
    // Below 8: 0 (to the end of the file) and 1 (a 64-bit size) end this level.
    if (size < 8) {
        return false;
    }
    node->Size = size - 8;
    const std::int64_t payloadStart = CheckedAdd(start, 8);
    const std::int64_t end = CheckedAdd(payloadStart, node->Size);

    if (IsDataAtom(node->AtomType) && node->Size > 0 && node->Size <= kMaxDataAtom) {
        // Never more than the file still holds: a tiny file that declares a
        // huge atom costs nothing.
        const std::int64_t available = std::max<std::int64_t>(source.Size() - payloadStart, 0);
        const auto held = static_cast<std::size_t>(std::min<std::int64_t>(node->Size, available));
        if (loadedBytes_ <= kMaxLoadedBytes - held) {
            loadedBytes_ += held;
            node->Owned.assign(std::max<std::size_t>(held, 1), 0);
            node->DataLength = source.Read(std::span(node->Owned).first(held));
            node->Data = node->Owned.data();
        }
    }
    if (IsContainerAtom(node->AtomType) && depth < kMaxDepth) {
        const std::int64_t containerEnd = CheckedAdd(start, size);
        while (ReadAtom(source, node, containerEnd, depth + 1)) {
        }
    }
    if (end < limit) {
        return source.Seek(end) == end;
    }
    return false;
}

void CQuickTimeReader::ExtractAtoms(AtomNode* first) {
    for (AtomNode* node = first; node != nullptr; node = node->Next) {
        if (IsFourCC(node->AtomType, "cmvd") && node->Size >= 4 && node->Data != nullptr) {
            ExpandMovieHeader(*node);
        } else if (IsFourCC(node->AtomType, "mvhd")) {
            MovieHeaderStep(*node);
        } else if (IsFourCC(node->AtomType, "stsd")) {
            TrackStep(*node);
        } else if (node->AtomType[0] == 0xA9 && node->Data != nullptr && node->Parent != nullptr &&
                   IsFourCC(node->Parent->AtomType, "udta")) {
            AppendUserDataItem(*node);
        }
        ExtractAtoms(node->FirstChild);
    }
}

void CQuickTimeReader::MovieHeaderStep(const AtomNode& node) {
    const TimeHeader header = ReadTimeHeader(node);
    if (header.Scale > 0) {
        DurationMs = RoundToUInt32(static_cast<Extended>(header.Duration) * 1000 /
                                   static_cast<Extended>(header.Scale));
    }
}

void CQuickTimeReader::TrackStep(const AtomNode& sampleDescriptions) {
    const std::span<const std::uint8_t> payload = sampleDescriptions.Payload();
    const std::size_t end = sampleDescriptions.Size;
    std::size_t cursor = std::min<std::size_t>(end, 8); // version, flags, entry count

    // The "mdia" atom in a well-formed file; the types are not verified.
    const AtomNode* media = sampleDescriptions.Parent;
    for (int up = 0; up < 2 && media != nullptr; ++up) {
        media = media->Parent;
    }
    if (media == nullptr) {
        return;
    }

    std::uint32_t trackSeconds = 0;
    if (const AtomNode* mediaHeader = FindChildAtom(media, "mdhd")) {
        const TimeHeader header = ReadTimeHeader(*mediaHeader);
        if (header.Scale > 0) {
            trackSeconds = RoundToUInt32(static_cast<Extended>(header.Duration) /
                                         static_cast<Extended>(header.Scale));
        }
    }
    const AtomNode* handler = FindChildAtom(media, "hdlr");
    if (handler == nullptr) {
        return;
    }
    if (!IsFourCC(LoadFourCC(handler->Payload(), 4), "mhlr")) {
        return;
    }
    const FourCC subtype = LoadFourCC(handler->Payload(), 8);

    // Only the first sample description is read, whatever the count says.
    const FourCC dataFormat = LoadFourCC(payload, cursor + 4);
    cursor += std::min<std::size_t>(end - cursor, 16); // past the entry's 16-byte head

    if (IsFourCC(subtype, "vide") && trackSeconds >= VideoTrackSeconds) {
        HasVideo = true;
        VideoFourCC = dataFormat;
        VideoTrackSeconds = trackSeconds;
        CopyRecord(VideoDesc, payload, cursor);
        VideoDesc.Version = Swap16(VideoDesc.Version);
        VideoDesc.Width = Swap16(VideoDesc.Width);
        VideoDesc.Height = Swap16(VideoDesc.Height);
        VideoDesc.Depth = Swap16(VideoDesc.Depth);
    } else if (IsFourCC(subtype, "soun") && trackSeconds >= AudioTrackSeconds) {
        HasAudio = true;
        AudioFourCC = dataFormat;
        AudioTrackSeconds = trackSeconds;
        CopyRecord(SoundDesc, payload, cursor);
        SoundDesc.Version = Swap16(SoundDesc.Version);
        SoundDesc.Channels = Swap16(SoundDesc.Channels);
        SoundDesc.SampleSize = Swap16(SoundDesc.SampleSize);
        SoundDesc.CompressionId = Swap16(SoundDesc.CompressionId);
        SoundDesc.SamplesPerPacket = Swap32(SoundDesc.SamplesPerPacket);
        SoundDesc.BytesPerPacket = Swap32(SoundDesc.BytesPerPacket);
        SoundDesc.BytesPerFrame = Swap32(SoundDesc.BytesPerFrame);
        SoundDesc.BytesPerSample = Swap32(SoundDesc.BytesPerSample);
        SoundDesc.SampleRate = Swap32(SoundDesc.SampleRate) >> 16; // whole hertz of 16.16
    }
}

} // namespace vidarium
