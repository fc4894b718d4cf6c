#include "oggreader.h"

#include "bytesource.h"
#include "codecconfig.h"
#include "codecnames.h"
#include "localtext.h"
#include "readerload.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace vidarium::ogg {
namespace {

// A page: "OggS", version 0, header type, granule position, serial number,
// page number, checksum, segment count, then the segment table.
constexpr std::size_t kPageHeader = 27;
constexpr std::uint8_t kContinued = 0x01;
constexpr std::uint8_t kFirstPage = 0x02;
constexpr std::uint64_t kNoGranule = UINT64_MAX;

struct Page {
    std::uint8_t Type = 0;
    std::uint64_t Granule = kNoGranule;
    std::uint32_t Serial = 0;
    ByteSpan Segments; // the segment table: each packet's lacing values
    ByteSpan Body;
    std::size_t Length = 0; // header, table and body
};

// The page at the start of `bytes`, when it is whole.
std::optional<Page> PageAt(ByteSpan bytes) {
    if (bytes.size() < kPageHeader || std::memcmp(bytes.data(), "OggS", 4) != 0 || bytes[4] != 0) {
        return std::nullopt;
    }
    const std::size_t segments = bytes[26];
    if (bytes.size() < kPageHeader + segments) {
        return std::nullopt;
    }
    const ByteSpan table = bytes.subspan(kPageHeader, segments);
    std::size_t body = 0;
    for (const std::uint8_t lacing : table) {
        body += lacing;
    }
    if (bytes.size() - kPageHeader - segments < body) {
        return std::nullopt;
    }
    Page page;
    page.Type = bytes[5];
    page.Granule = LoadLe64(bytes, 6);
    page.Serial = LoadLe32(bytes, 14);
    page.Segments = table;
    page.Body = bytes.subspan(kPageHeader + segments, body);
    page.Length = kPageHeader + segments + body;
    return page;
}

// The page checksum: CRC-32 with polynomial 0x04C11DB7, not reflected,
// computed with the checksum field as zeros.
constexpr std::array<std::uint32_t, 256> kCrcTable = [] {
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t crc = i << 24;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 0x80000000U) != 0 ? (crc << 1) ^ 0x04C11DB7U : crc << 1;
        }
        table[i] = crc;
    }
    return table;
}();

bool ChecksumHolds(ByteSpan page) {
    std::uint32_t crc = 0;
    for (std::size_t i = 0; i < page.size(); ++i) {
        const std::uint8_t byte = i >= 22 && i < 26 ? 0 : page[i];
        crc = (crc << 8) ^ kCrcTable[((crc >> 24) ^ byte) & 0xFFU];
    }
    return crc == LoadLe32(page, 22);
}

enum class Kind { Unknown, Theora, Vorbis, Opus, Flac };

struct Stream {
    std::uint32_t Serial = 0;
    Kind Type = Kind::Unknown;
    std::vector<std::uint8_t> Identification;
    std::vector<std::uint8_t> Packet; // a header packet being reassembled
    int Packets = 0;                  // header packets complete
    bool Commented = false;           // its comment header was read
    std::optional<std::uint64_t> LastGranule;
};

// Where a stream's comment header holds its comments, by its first bytes.
std::optional<std::size_t> CommentsOffset(Kind kind, ByteSpan packet) {
    const auto startsWith = [&](std::string_view magic) {
        return packet.size() >= magic.size() &&
               std::memcmp(packet.data(), magic.data(), magic.size()) == 0;
    };
    switch (kind) {
    case Kind::Theora:
        return startsWith("\x81theora") ? std::optional<std::size_t>(7) : std::nullopt;
    case Kind::Vorbis:
        return startsWith("\x03vorbis") ? std::optional<std::size_t>(7) : std::nullopt;
    case Kind::Opus:
        return startsWith("OpusTags") ? std::optional<std::size_t>(8) : std::nullopt;
    case Kind::Flac:
        // A metadata block of type 4 after STREAMINFO.
        return (ByteAt(packet, 0) & 0x7FU) == 4 ? std::optional<std::size_t>(4) : std::nullopt;
    case Kind::Unknown:
        break;
    }
    return std::nullopt;
}

Kind KindOf(ByteSpan packet) {
    const auto startsWith = [&](std::string_view magic) {
        return packet.size() >= magic.size() &&
               std::memcmp(packet.data(), magic.data(), magic.size()) == 0;
    };
    if (startsWith("\x80theora") && packet.size() >= 42) {
        return Kind::Theora;
    }
    if (startsWith("\x01vorbis") && packet.size() >= 28) {
        return Kind::Vorbis;
    }
    if (startsWith("OpusHead") && packet.size() >= 19) {
        return Kind::Opus;
    }
    if (startsWith("\x7F"
                   "FLAC") &&
        packet.size() >= 13 + 4 + 18) {
        return Kind::Flac;
    }
    return Kind::Unknown;
}

constexpr std::array<std::pair<std::string_view, const char*>, 9> kCommentLabels{{
    {"TITLE", "Title"},
    {"ARTIST", "Artist"},
    {"ALBUM", "Album"},
    {"DATE", "Date"},
    {"COMMENT", "Comment"},
    {"DESCRIPTION", "Description"},
    {"GENRE", "Genre"},
    {"COPYRIGHT", "Copyright"},
    {"LOCATION", "Location"},
}};

class OggLoad {
public:
    explicit OggLoad(const LoadContext& context)
        : source_(context.Source), summary_(context.Summary), stop_(context.Stop),
          size_(context.Source.Size()) {}

    LoadVerdict Run() { return VerdictOf(recognised_, Read()); }

private:
    // True when a stream is described; recognised when the file starts with
    // an Ogg page.
    bool Read();
    // Reads the pages of the start window; true once every stream has
    // given its identification and comment headers.
    bool ReadHead(ByteSpan window);
    void AddPacketPart(Stream& stream, ByteSpan part, bool ends);
    void ReadComments(ByteSpan comments);
    // The last granule position of each stream, from the end window.
    void ReadTail();
    // The last pages whose checksums hold among those that start in the
    // `added` bytes at the window's front; true once the stream `serial`
    // has its last granule.
    bool FindLastPages(ByteSpan window, std::size_t added, std::uint32_t serial,
                       std::size_t& checksumBudget);
    void Describe();
    void DescribeVideo(const Stream& stream);
    void DescribeAudio(const Stream& stream);
    std::optional<std::int64_t> DurationOf(const Stream& stream) const;

    ByteSource& source_;
    MediaSummary& summary_;
    const LoadStop& stop_;
    const std::int64_t size_;
    bool recognised_ = false;
    std::vector<Stream> streams_;
    std::vector<MetadataItem> texts_;
};

bool OggLoad::Read() {
    std::size_t length =
        static_cast<std::size_t>(std::min<std::int64_t>(size_, COggReader::kHeadWindow));
    FileWindow window;
    const std::vector<std::uint8_t>& head = window.Bytes;
    for (;;) {
        GrowForward(source_, window, length);
        recognised_ = COggReader::RecognisesHead(head);
        if (!recognised_) {
            return false;
        }
        streams_.clear();
        texts_.clear();
        const bool complete = ReadHead(head);
        if (complete || head.size() < length || length == COggReader::kMaxHeadWindow) {
            break;
        }
        // Once more, as far as the headers can run.
        length =
            static_cast<std::size_t>(std::min<std::int64_t>(size_, COggReader::kMaxHeadWindow));
        if (length <= head.size()) {
            break;
        }
    }
    const bool known = std::any_of(streams_.begin(), streams_.end(), [](const Stream& stream) {
        return stream.Type != Kind::Unknown;
    });
    if (!known) {
        return false;
    }
    ReadTail();
    Describe();
    return true;
}

bool OggLoad::ReadHead(ByteSpan window) {
    std::size_t at = 0;
    while (at < window.size()) {
        stop_.Check();
        const std::optional<Page> page = PageAt(window.subspan(at));
        if (!page) {
            break;
        }
        at += page->Length;
        auto stream = std::find_if(streams_.begin(), streams_.end(),
                                   [&](const Stream& s) { return s.Serial == page->Serial; });
        if (stream == streams_.end()) {
            // Streams begin on the first pages only.
            if ((page->Type & kFirstPage) == 0 || streams_.size() == COggReader::kMaxStreams) {
                continue;
            }
            streams_.emplace_back().Serial = page->Serial;
            stream = streams_.end() - 1;
        }
        if (stream->Packets >= 2) {
            continue;
        }
        if ((page->Type & kContinued) == 0) {
            stream->Packet.clear(); // a packet left open is not continued
        }
        std::size_t offset = 0;
        std::size_t partStart = 0;
        for (std::size_t i = 0; i < page->Segments.size() && stream->Packets < 2; ++i) {
            offset += page->Segments[i];
            // A lacing value below 255 ends its packet.
            if (page->Segments[i] < 255) {
                AddPacketPart(*stream, page->Body.subspan(partStart, offset - partStart), true);
                partStart = offset;
            }
        }
        if (stream->Packets < 2) {
            AddPacketPart(*stream, page->Body.subspan(partStart), false);
        }
    }
    return !streams_.empty() && std::all_of(streams_.begin(), streams_.end(), [](const Stream& s) {
        return s.Packets >= 2 || s.Type == Kind::Unknown;
    });
}

void OggLoad::AddPacketPart(Stream& stream, ByteSpan part, bool ends) {
    const std::size_t room = COggReader::kMaxPacket - stream.Packet.size();
    stream.Packet.insert(stream.Packet.end(), part.begin(),
                         part.begin() + static_cast<std::ptrdiff_t>(std::min(room, part.size())));
    if (!ends) {
        return;
    }
    if (stream.Packets == 0) {
        stream.Type = KindOf(stream.Packet);
        stream.Identification = std::move(stream.Packet);
        // A stream this reader does not know gives no more headers here.
        stream.Packets = stream.Type == Kind::Unknown ? 2 : 1;
    } else if (const auto offset = CommentsOffset(stream.Type, stream.Packet)) {
        ReadComments(BytesFrom(stream.Packet, *offset));
        stream.Commented = true;
        stream.Packets = 2;
    } else {
        stream.Packets = 2; // not a comment header: the stream has none to give
    }
    stream.Packet.clear();
}

void OggLoad::ReadComments(ByteSpan comments) {
    // The vendor string, the count, then each comment as "KEY=value".
    const std::size_t vendor = LoadLe32(comments, 0);
    ByteSpan rest = BytesFrom(comments, 4 + std::min(vendor, comments.size()));
    const std::size_t count = std::min<std::size_t>(LoadLe32(rest, 0), COggReader::kMaxComments);
    rest = BytesFrom(rest, 4);
    for (std::size_t i = 0; i < count && rest.size() >= 4; ++i) {
        const std::size_t length = LoadLe32(rest, 0);
        if (length > rest.size() - 4) {
            return;
        }
        const std::string_view comment(reinterpret_cast<const char*>(rest.data() + 4), length);
        rest = rest.subspan(4 + length);
        const std::size_t equals = comment.find('=');
        if (equals == std::string_view::npos) {
            continue;
        }
        const std::string_view key = comment.substr(0, equals);
        const auto row =
            std::find_if(kCommentLabels.begin(), kCommentLabels.end(), [&](const auto& entry) {
                return EqualsIgnoringAsciiCase(entry.first, key);
            });
        if (row == kCommentLabels.end() ||
            std::any_of(texts_.begin(), texts_.end(),
                        [&](const MetadataItem& item) { return item.Label == row->second; })) {
            continue;
        }
        if (std::string text = CleanText(std::string(comment.substr(equals + 1))); !text.empty()) {
            texts_.push_back({row->second, std::move(text)});
        }
    }
}

void OggLoad::ReadTail() {
    // Grown until it holds a page with a granule position of the stream
    // the duration comes from: the first video stream, else the first sound.
    const auto timed = std::find_if(streams_.begin(), streams_.end(),
                                    [](const Stream& s) { return s.Type == Kind::Theora; });
    const std::uint32_t serial =
        timed != streams_.end()
            ? timed->Serial
            : std::find_if(streams_.begin(), streams_.end(), [](const Stream& s) {
                  return s.Type != Kind::Unknown;
              })->Serial;
    // Each page is checksummed once, in the window that first holds its
    // start, and a file of false page starts checksums a bounded amount.
    std::size_t checksumBudget = 2 * COggReader::kMaxTailWindow;
    SearchTail(source_, COggReader::kTailWindow, COggReader::kMaxTailWindow,
               [&](const FileWindow& tail, std::size_t added) {
                   return FindLastPages(tail.Bytes, added, serial, checksumBudget);
               });
}

bool OggLoad::FindLastPages(ByteSpan window, std::size_t added, std::uint32_t serial,
                            std::size_t& checksumBudget) {
    // The granules of the pages that start in the bytes just added; the
    // pages after them, read before, stay the last ones. Searched from the
    // end: a stream's last page is the first one found, and its earlier
    // pages are passed over without their checksums.
    std::vector<std::optional<std::uint64_t>> granules(streams_.size());
    auto pending = static_cast<std::size_t>(std::count_if(
        streams_.begin(), streams_.end(), [](const Stream& s) { return !s.LastGranule; }));
    for (std::size_t at = std::min(added, window.size()); at-- > 0 && pending > 0;) {
        stop_.Check();
        if (window[at] != 'O' || at + kPageHeader > window.size() ||
            std::memcmp(window.data() + at, "OggS", 4) != 0) {
            continue;
        }
        const std::optional<Page> page = PageAt(window.subspan(at));
        if (!page || page->Granule == kNoGranule) {
            continue;
        }
        const auto stream =
            std::find_if(streams_.begin(), streams_.end(),
                         [&](const Stream& known) { return known.Serial == page->Serial; });
        if (stream == streams_.end() || page->Length > checksumBudget) {
            continue;
        }
        std::optional<std::uint64_t>& granule =
            granules[static_cast<std::size_t>(stream - streams_.begin())];
        if (granule || stream->LastGranule) {
            continue; // a later page of this stream is known
        }
        checksumBudget -= page->Length;
        if (ChecksumHolds(window.subspan(at, page->Length))) {
            granule = page->Granule;
            --pending;
        }
    }
    bool found = false;
    for (std::size_t i = 0; i < streams_.size(); ++i) {
        Stream& stream = streams_[i];
        if (!stream.LastGranule) {
            stream.LastGranule = granules[i];
        }
        found = found || (stream.Serial == serial && stream.LastGranule);
    }
    return found;
}

std::optional<std::int64_t> OggLoad::DurationOf(const Stream& stream) const {
    if (!stream.LastGranule) {
        return std::nullopt;
    }
    const std::uint64_t granule = *stream.LastGranule;
    const ByteSpan id = stream.Identification;
    long double seconds = -1;
    if (stream.Type == Kind::Theora) {
        // The last keyframe's number above the shift, the frames since it
        // below; numbering starts at 1 from version 3.2.1 on.
        const unsigned shift = (LoadBe16(id, 40) >> 5) & 0x1FU;
        const std::uint64_t frames =
            (granule >> shift) + (granule & ((std::uint64_t{1} << shift) - 1));
        const bool fromOne = (LoadBe32(id, 6) & 0xFFFFFFU) >= 0x030201;
        const std::uint32_t numerator = LoadBe32(id, 22);
        const std::uint32_t denominator = LoadBe32(id, 26);
        if (numerator > 0 && denominator > 0) {
            seconds =
                static_cast<long double>(frames + (fromOne ? 0 : 1)) * denominator / numerator;
        }
    } else if (stream.Type == Kind::Vorbis && LoadLe32(id, 12) > 0) {
        seconds = static_cast<long double>(granule) / LoadLe32(id, 12);
    } else if (stream.Type == Kind::Opus) {
        // At 48 kHz, less the samples skipped at the start.
        const std::uint64_t skip = LoadLe16(id, 10);
        seconds = static_cast<long double>(granule > skip ? granule - skip : 0) / 48000;
    } else if (stream.Type == Kind::Flac) {
        const CodecDetails details = DecodeFlacConfig(BytesFrom(id, 13));
        if (details.SampleRate > 0) {
            seconds = static_cast<long double>(granule) / details.SampleRate;
        }
    }
    if (seconds < 0 || seconds > 1e12L) {
        return std::nullopt;
    }
    return std::llround(static_cast<double>(seconds * 1000));
}

void OggLoad::Describe() {
    summary_.Container = "OGG";
    const Stream* video = nullptr;
    const Stream* audio = nullptr;
    for (const Stream& stream : streams_) {
        if (stream.Type == Kind::Theora) {
            CountTrack(summary_, TrackKind::Video);
            video = video != nullptr ? video : &stream;
        } else if (stream.Type != Kind::Unknown) {
            CountTrack(summary_, TrackKind::Audio);
            audio = audio != nullptr ? audio : &stream;
        }
    }
    if (video != nullptr) {
        DescribeVideo(*video);
    }
    if (audio != nullptr) {
        DescribeAudio(*audio);
    }
    // The file lasts as long as its longest stream whose last page the end
    // window holds: the sound often runs past the last frame.
    for (const Stream& stream : streams_) {
        if (const auto ms = stream.Type != Kind::Unknown ? DurationOf(stream) : std::nullopt;
            ms && (!summary_.DurationMs || *ms > *summary_.DurationMs)) {
            summary_.DurationMs = ms;
        }
    }
    summary_.Metadata = InLabelOrder(texts_);
}

void OggLoad::DescribeVideo(const Stream& stream) {
    // Theora's identification header: version, the coded size in
    // macroblocks, the picture size and offset, the frame rate, the pixel
    // aspect, the colour space, the nominal bit rate, then the quality and
    // the granule shift.
    const ByteSpan id = stream.Identification;
    const auto be24 = [&](std::size_t at) { return LoadBe32(id, at) >> 8; };
    summary_.HasVideo = true;
    summary_.VideoCode = "theora";
    summary_.VideoCodec = CodecName(Codec::Theora);
    const std::uint32_t width = be24(14);
    const std::uint32_t height = be24(17);
    summary_.Width = std::int64_t{width};
    summary_.Height = std::int64_t{height};
    const std::uint32_t numerator = LoadBe32(id, 22);
    const std::uint32_t denominator = LoadBe32(id, 26);
    if (numerator > 0 && denominator > 0) {
        summary_.FrameRate = static_cast<double>(numerator) / denominator;
    }
    const std::uint64_t pixelWidth = be24(30);
    const std::uint64_t pixelHeight = be24(33);
    summary_.DisplayAspect = pixelWidth > 0 && pixelHeight > 0
                                 ? AspectText(width * pixelWidth, height * pixelHeight)
                                 : AspectText(width, height);
    if (const std::uint32_t rate = be24(37); rate > 0) {
        summary_.VideoBitRate = std::int64_t{rate};
    }
}

void OggLoad::DescribeAudio(const Stream& stream) {
    const ByteSpan id = stream.Identification;
    summary_.HasAudio = true;
    switch (stream.Type) {
    case Kind::Vorbis: {
        // Version, channels, rate, then the maximum, nominal and minimum
        // bit rates.
        summary_.AudioCode = "vorbis";
        summary_.AudioCodec = CodecName(Codec::Vorbis);
        summary_.Channels = std::int64_t{id[11]};
        summary_.SampleRate = std::int64_t{LoadLe32(id, 12)};
        const auto nominal = static_cast<std::int32_t>(LoadLe32(id, 20));
        if (nominal > 0) {
            summary_.AudioBitRate = std::int64_t{nominal};
        }
        break;
    }
    case Kind::Opus:
        // Opus always decodes at 48 kHz, whatever rate went in.
        summary_.AudioCode = "opus";
        summary_.AudioCodec = CodecName(Codec::Opus);
        summary_.Channels = std::int64_t{id[9]};
        summary_.SampleRate = 48000;
        break;
    case Kind::Flac: {
        const CodecDetails details = DecodeFlacConfig(BytesFrom(id, 13));
        summary_.AudioCode = "flac";
        summary_.AudioCodec = CodecName(Codec::Flac);
        summary_.Channels = std::int64_t{details.Channels};
        summary_.SampleRate = std::int64_t{details.SampleRate};
        break;
    }
    case Kind::Theora:
    case Kind::Unknown:
        break;
    }
}

} // namespace
} // namespace vidarium::ogg

namespace vidarium {

bool COggReader::RecognisesHead(std::span<const std::uint8_t> head) {
    return head.size() >= 5 && std::memcmp(head.data(), "OggS", 4) == 0 && head[4] == 0;
}

bool COggReader::LoadFromSource(ByteSource& source, const std::filesystem::path& path) {
    return RunLoad<ogg::OggLoad>(source, path, kOrigin);
}

} // namespace vidarium
