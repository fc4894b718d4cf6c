#include "movreader.h"

#include "atomheader.h"
#include "bytesource.h"
#include "guarded.h"
#include "localtext.h"
#include "readerload.h"

#include <algorithm>
#include <array>
#include <climits>
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

} // namespace

VideoSampleDesc VideoSampleDesc::Decode(std::span<const std::uint8_t> stored) {
    VideoSampleDesc desc;
    desc.Version = LoadBe16(stored, 0);
    desc.RevisionLevel = LoadBe16(stored, 2);
    desc.Vendor = LoadBe32(stored, 4);
    desc.TemporalQuality = LoadBe32(stored, 8);
    desc.SpatialQuality = LoadBe32(stored, 12);
    desc.Width = LoadBe16(stored, 16);
    desc.Height = LoadBe16(stored, 18);
    desc.HorizontalResolution = LoadBe32(stored, 20);
    desc.VerticalResolution = LoadBe32(stored, 24);
    desc.DataSize = LoadBe32(stored, 28);
    desc.FrameCount = LoadBe16(stored, 32);
    for (std::size_t i = 0; i < desc.CompressorName.size(); ++i) {
        desc.CompressorName[i] = ByteAt(stored, 34 + i);
    }
    desc.Depth = LoadBe16(stored, 66);
    desc.ColorTableId = LoadBe16(stored, 68);
    return desc;
}

SoundSampleDesc SoundSampleDesc::Decode(std::span<const std::uint8_t> stored) {
    SoundSampleDesc desc;
    desc.Version = LoadBe16(stored, 0);
    desc.RevisionLevel = LoadBe16(stored, 2);
    desc.Vendor = LoadBe32(stored, 4);
    desc.Channels = LoadBe16(stored, 8);
    desc.SampleSize = LoadBe16(stored, 10);
    desc.CompressionId = LoadBe16(stored, 12);
    desc.PacketSize = LoadBe16(stored, 14);
    desc.SampleRate = LoadBe32(stored, 16) >> 16; // whole hertz of 16.16
    desc.SamplesPerPacket = LoadBe32(stored, 20);
    desc.BytesPerPacket = LoadBe32(stored, 24);
    desc.BytesPerFrame = LoadBe32(stored, 28);
    desc.BytesPerSample = LoadBe32(stored, 32);
    return desc;
}

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
    UserData.clear();
    loadedBytes_ = 0;
    payloadBudget_ = 0;
    expandedBytes_ = 0;
    walkBudget_ = 0;
    fetchedBefore_ = 0;
    walkedBytes_ = 0;
    childrenSearched_ = 0;
    knownChildren_.clear();
}

void CQuickTimeReader::Clear() {
    FreeAtoms(Root.FirstChild);
    atoms_.clear();
    memory_.Release();
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

const CQuickTimeReader::KnownChildren& CQuickTimeReader::ChildrenOf(const AtomNode* parent) {
    const auto [entry, added] = knownChildren_.try_emplace(parent);
    if (added) {
        // The first child of each type, as a search from the start finds it.
        KnownChildren& known = entry->second;
        for (const AtomNode* node = parent->FirstChild; node != nullptr; node = node->Next) {
            ++childrenSearched_;
            if (known.CompressionMethod == nullptr && IsFourCC(node->AtomType, "dcom")) {
                known.CompressionMethod = node;
            } else if (known.MediaHeader == nullptr && IsFourCC(node->AtomType, "mdhd")) {
                known.MediaHeader = node;
            } else if (known.Handler == nullptr && IsFourCC(node->AtomType, "hdlr")) {
                known.Handler = node;
            }
        }
    }
    return entry->second;
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

bool CQuickTimeReader::RecognisedContainer() const {
    for (const AtomNode* node = Root.FirstChild; node != nullptr; node = node->Next) {
        if (IsFourCC(node->AtomType, "ftyp") || IsFourCC(node->AtomType, "moov") ||
            IsFourCC(node->AtomType, "mdat")) {
            return true;
        }
    }
    return false;
}

bool CQuickTimeReader::Load(ByteSource& source) {
    const std::int64_t fileSize = std::max<std::int64_t>(source.Size(), 0);
    payloadBudget_ = static_cast<std::size_t>(
        std::min<std::int64_t>(fileSize, static_cast<std::int64_t>(kMaxLoadedBytes)));
    walkBudget_ =
        std::min(kMaxWalkBytes, 2 * static_cast<std::uint64_t>(fileSize) + kWalkSlackBytes);
    fetchedBefore_ = source.BytesFetched();
    // The file size is taken afresh for each top-level atom.
    while (ReadAtom(source, &Root, source.Size(), 0)) {
    }
    walkedBytes_ = source.BytesFetched() - fetchedBefore_;
    ExtractAtoms(&Root);

    // The compressor name's length byte is not consulted.
    const auto* name = reinterpret_cast<const char*>(VideoDesc.CompressorName.data()) + 1;
    VideoCodecName = std::string(TrimBelow33(std::string_view(name, strnlen(name, 31))));

    const bool result = DurationMs > 0 && (HasVideo || HasAudio);
    if (HasAudio) {
        AudioCodecName = SoundCodecName(AudioFourCC);
    }
    // A bit rate the description cannot give (no samples per packet, or too
    // large for 32 bits) is unknown, 0, like one the file does not give: the
    // rest of the row stays.
    if (SoundDesc.Version == 1 && SoundDesc.SamplesPerPacket != 0) {
        const Extended bitRate = static_cast<Extended>(SoundDesc.SampleRate) /
                                 static_cast<Extended>(SoundDesc.SamplesPerPacket) *
                                 static_cast<Extended>(SoundDesc.BytesPerFrame) * 8;
        AudioBitRate = FitsUInt32(bitRate) ? RoundToUInt32(bitRate) : 0;
    }
    return result;
}

bool CQuickTimeReader::ReadAtom(ByteSource& source, AtomNode* parent, std::int64_t limit,
                                int depth) {
    stop_.Check();
    // Past the walk's budget the walk ends as at the atom bound.
    if (atoms_.size() >= kMaxAtoms || source.BytesFetched() - fetchedBefore_ > walkBudget_) {
        return false;
    }
    const std::int64_t start = source.Position();
    // A header that would start past the file's end is not even asked for:
    // the short read would end the level all the same, at a system call's cost.
    if (start >= source.Size()) {
        return false;
    }
    std::array<std::uint8_t, AtomHeader::kExtendedLength> bytes{};
    const std::span<std::uint8_t> shortHeader = std::span(bytes).first(AtomHeader::kShortLength);
    if (source.Read(shortHeader) < shortHeader.size()) {
        return false;
    }
    AtomNode* node = AddChildAtom(parent);
    node->AtomType = LoadFourCC(bytes, 4);
    // The file walk understands the 64-bit size of media data over 4 GiB; a
    // header cut short ends this level, the node staying in the tree.
    std::span<const std::uint8_t> header = shortHeader;
    if (AnnouncesExtendedSize(shortHeader)) {
        const std::span<std::uint8_t> extension =
            std::span(bytes).subspan(AtomHeader::kShortLength);
        if (source.Read(extension) < extension.size()) {
            return false;
        }
        header = bytes;
    }
    const AtomHeader decoded = DecodeAtomHeader(header);
    // A size that does not cover its header (0 means "to the end of the
    // file") ends this level, and so does an end past the largest position.
    const std::optional<std::uint64_t> payloadLength = decoded.PayloadLength();
    if (!payloadLength || decoded.DeclaredSize > std::uint64_t{INT64_MAX} ||
        start > INT64_MAX - static_cast<std::int64_t>(decoded.DeclaredSize)) {
        return false;
    }
    node->Size = *payloadLength;
    const std::int64_t end = start + static_cast<std::int64_t>(decoded.DeclaredSize);
    const std::int64_t payloadStart = start + static_cast<std::int64_t>(decoded.HeaderLength);

    if (IsDataAtom(node->AtomType) && node->Size > 0 && node->Size <= kMaxDataAtom) {
        LoadPayload(source, *node, payloadStart);
    }
    if (IsContainerAtom(node->AtomType) && depth < kMaxDepth) {
        while (ReadAtom(source, node, end, depth + 1)) {
        }
    }
    if (end < limit) {
        return source.Seek(end) == end;
    }
    return false;
}

void CQuickTimeReader::LoadPayload(ByteSource& source, AtomNode& node, std::int64_t payloadStart) {
    // Never more than the file still holds: a tiny file that declares a huge
    // atom costs nothing.
    const std::int64_t available = std::max<std::int64_t>(source.Size() - payloadStart, 0);
    const auto held = static_cast<std::size_t>(
        std::min<std::int64_t>(static_cast<std::int64_t>(node.Size), available));
    if (held > payloadBudget_ - loadedBytes_) {
        return; // past the load's budget: no Data, no fault
    }
    loadedBytes_ += held;
    memory_.Add(held);
    node.Owned.assign(std::max<std::size_t>(held, 1), 0);
    node.DataLength = source.Read(std::span(node.Owned).first(held));
    node.Data = node.Owned.data();
}

void CQuickTimeReader::ExtractAtoms(AtomNode* first) {
    for (AtomNode* node = first; node != nullptr; node = node->Next) {
        stop_.Check();
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
    const auto end = static_cast<std::size_t>(sampleDescriptions.Size);
    std::size_t cursor = std::min<std::size_t>(end, 8); // version, flags, entry count

    // The "mdia" atom in a well-formed file; the types are not verified.
    const AtomNode* media = sampleDescriptions.Parent;
    for (int up = 0; up < 2 && media != nullptr; ++up) {
        media = media->Parent;
    }
    if (media == nullptr) {
        return;
    }

    const KnownChildren& known = ChildrenOf(media);
    std::uint32_t trackSeconds = 0;
    if (const AtomNode* mediaHeader = known.MediaHeader) {
        const TimeHeader header = ReadTimeHeader(*mediaHeader);
        if (header.Scale > 0) {
            trackSeconds = RoundToUInt32(static_cast<Extended>(header.Duration) /
                                         static_cast<Extended>(header.Scale));
        }
    }
    const AtomNode* handler = known.Handler;
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
        VideoDesc = VideoSampleDesc::Decode(BytesFrom(payload, cursor));
    } else if (IsFourCC(subtype, "soun") && trackSeconds >= AudioTrackSeconds) {
        HasAudio = true;
        AudioFourCC = dataFormat;
        AudioTrackSeconds = trackSeconds;
        SoundDesc = SoundSampleDesc::Decode(BytesFrom(payload, cursor));
    }
}

} // namespace vidarium
