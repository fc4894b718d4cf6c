#include "readertable.h"

#include "audioformattags.h"
#include "bytesource.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <type_traits>
#include <utility>

namespace vidarium {
namespace {

bool StartsLikeAvi(std::span<const std::uint8_t> head) {
    return IsFourCC(LoadFourCC(head, 0), "RIFF") && IsFourCC(LoadFourCC(head, 8), "AVI ");
}

// A pack header or a sequence header at the very start: only then is the
// MPEG byte search tried on a file its extension does not name as MPEG.
bool StartsLikeMpeg(std::span<const std::uint8_t> head) {
    return head.size() >= 4 && head[0] == 0 && head[1] == 0 && head[2] == 1 &&
           (head[3] == 0xBA || head[3] == 0xB3);
}

// The AVI row of a file with one kind of stream: what the classic row shows
// of it, in the modern row's shape.
MediaSummary AviStreamSummary(const CAVIHeaderReader& reader) {
    MediaSummary summary;
    summary.Container = "AVI";
    summary.DurationMs = std::int64_t{reader.DurationMs};
    if (reader.HasVideoFormat && reader.HasVideoStreamHeader) {
        summary.HasVideo = true;
        summary.VideoTracks = 1;
        summary.VideoCode = CodeText(reader.VideoStreamHeader.fccHandler);
        summary.VideoCodec = summary.VideoCode;
        summary.Width = std::int64_t{reader.VideoFormat.biWidth};
        summary.Height = std::int64_t{reader.VideoFormat.biHeight};
        summary.FrameRate = double{reader.FrameRate};
    }
    if (reader.HasAudioFormat) {
        summary.HasAudio = true;
        summary.AudioTracks = 1;
        summary.AudioCode = AudioFormatTagCode(reader.AudioFormat.wFormatTag);
        summary.AudioCodec = AudioFormatTagName(reader.AudioFormat.wFormatTag);
        summary.AudioBitRate = std::int64_t{reader.AudioFormat.nAvgBytesPerSec} * 8;
        summary.SampleRate = std::int64_t{reader.AudioFormat.nSamplesPerSec};
        summary.Channels = std::int64_t{reader.AudioFormat.nChannels};
    }
    return summary;
}

// A modern reader's entry: its content test, its load and the modern row.
template <ReaderKind Kind, auto Member, RowSource Source> constexpr ReaderEntry ModernEntry() {
    using Reader = std::remove_reference_t<decltype(std::declval<ReaderSet&>().*Member)>;
    return {Kind, Reader::RecognisesHead,
            [](ReaderSet& r, ByteSource& source, const FileFacts& file) -> std::optional<FileRow> {
                Reader& reader = r.*Member;
                if (!reader.LoadFromSource(source, file.Path)) {
                    return std::nullopt;
                }
                return MakeModernRow(file.Caption(), file.Size, Source, reader.Summary);
            },
            [](const ReaderSet& r) { return (r.*Member).RecognisedContainer; }};
}

const std::array<ReaderEntry, 10> kTable{{
    {ReaderKind::Avi, nullptr,
     [](ReaderSet& r, ByteSource& source, const FileFacts& file) -> std::optional<FileRow> {
         if (!r.Avi.LoadFromSource(source, file.Path)) {
             return std::nullopt;
         }
         return MakeAviRow(file.Caption(), file.Size, r.Avi);
     },
     [](const ReaderSet& r) { return r.Avi.RecognisedContainer; }},
    {ReaderKind::QuickTime, nullptr,
     [](ReaderSet& r, ByteSource& source, const FileFacts& file) -> std::optional<FileRow> {
         if (!r.QuickTime.LoadFromSource(source, file.Path)) {
             return std::nullopt;
         }
         return MakeMovRow(file.Caption(), file.Size, r.QuickTime);
     },
     [](const ReaderSet& r) { return r.QuickTime.RecognisedContainer(); }},
    {ReaderKind::Mpeg, StartsLikeMpeg,
     [](ReaderSet& r, ByteSource& source, const FileFacts& file) -> std::optional<FileRow> {
         if (!r.Mpeg.LoadFromSource(source)) {
             return std::nullopt;
         }
         return MakeMpegRow(file.Caption(), file.Size, r.Mpeg);
     },
     [](const ReaderSet&) { return false; }},
    ModernEntry<ReaderKind::Iso, &ReaderSet::Iso, RowSource::Iso>(),
    ModernEntry<ReaderKind::Matroska, &ReaderSet::Matroska, RowSource::Matroska>(),
    ModernEntry<ReaderKind::Ts, &ReaderSet::Ts, RowSource::Ts>(),
    ModernEntry<ReaderKind::Asf, &ReaderSet::Asf, RowSource::Asf>(),
    ModernEntry<ReaderKind::Flv, &ReaderSet::Flv, RowSource::Flv>(),
    ModernEntry<ReaderKind::Ogg, &ReaderSet::Ogg, RowSource::Ogg>(),
    // An AVI with one kind of stream, or any AVI a classic order did not
    // reach: the same walk, then the streams it found.
    {ReaderKind::AviStreams, StartsLikeAvi,
     [](ReaderSet& r, ByteSource& source, const FileFacts& file) -> std::optional<FileRow> {
         r.Avi.LoadFromSource(source, file.Path);
         if (!r.Avi.HasMainHeader || !(r.Avi.HasVideoFormat || r.Avi.HasAudioFormat)) {
             return std::nullopt;
         }
         r.Avi.ComputeResults();
         return MakeModernRow(file.Caption(), file.Size, RowSource::Avi, AviStreamSummary(r.Avi));
     },
     [](const ReaderSet& r) { return r.Avi.RecognisedContainer; }},
}};

constexpr std::array<std::string_view, 3> kQuickTimeFamily{".avi", ".divx", ".mov"};
constexpr std::array<std::string_view, 6> kMpegFamily{".mpg", ".mpeg", ".mpe",
                                                      ".m1v", ".m2v",  ".vob"};
constexpr std::array kQuickTimeOrder{ReaderKind::Avi, ReaderKind::QuickTime, ReaderKind::Mpeg};
constexpr std::array kMpegOrder{ReaderKind::Avi, ReaderKind::Mpeg};
// Listed only with all formats on; their reader is tried first, then the
// ones their content names.
constexpr std::array<std::string_view, 4> kIsoFamily{".mp4", ".m4v", ".3gp", ".3g2"};
constexpr std::array<std::string_view, 3> kMatroskaFamily{".mkv", ".webm", ".mk3d"};
constexpr std::array<std::string_view, 4> kTsFamily{".ts", ".m2ts", ".mts", ".m2t"};
constexpr std::array<std::string_view, 2> kAsfFamily{".wmv", ".asf"};
constexpr std::array<std::string_view, 1> kFlvFamily{".flv"};
constexpr std::array<std::string_view, 1> kOggFamily{".ogv"};
constexpr std::array kIsoOrder{ReaderKind::Iso};
constexpr std::array kMatroskaOrder{ReaderKind::Matroska};
constexpr std::array kTsOrder{ReaderKind::Ts};
constexpr std::array kAsfOrder{ReaderKind::Asf};
constexpr std::array kFlvOrder{ReaderKind::Flv};
constexpr std::array kOggOrder{ReaderKind::Ogg};

struct Family {
    std::span<const std::string_view> Extensions;
    std::span<const ReaderKind> Order;
};
constexpr std::array<Family, 8> kFamilies{{
    {kQuickTimeFamily, kQuickTimeOrder},
    {kMpegFamily, kMpegOrder},
    {kIsoFamily, kIsoOrder},
    {kMatroskaFamily, kMatroskaOrder},
    {kTsFamily, kTsOrder},
    {kAsfFamily, kAsfOrder},
    {kFlvFamily, kFlvOrder},
    {kOggFamily, kOggOrder},
}};

bool IsClassic(ReaderKind kind) {
    return kind == ReaderKind::Avi || kind == ReaderKind::QuickTime || kind == ReaderKind::Mpeg;
}

} // namespace

void ReaderSet::WatchStopFlag(const std::atomic<bool>* flag) {
    Avi.WatchStopFlag(flag);
    QuickTime.WatchStopFlag(flag);
    Iso.WatchStopFlag(flag);
    Matroska.WatchStopFlag(flag);
    Ts.WatchStopFlag(flag);
    Asf.WatchStopFlag(flag);
    Flv.WatchStopFlag(flag);
    Ogg.WatchStopFlag(flag);
}

std::span<const ReaderEntry> ReaderTable() {
    return kTable;
}

const ReaderEntry& ReaderFor(ReaderKind kind) {
    return *std::find_if(kTable.begin(), kTable.end(),
                         [kind](const ReaderEntry& entry) { return entry.Kind == kind; });
}

std::span<const ReaderKind> ReaderOrderFor(std::string_view lowerCaseExtension) {
    for (const Family& family : kFamilies) {
        if (std::find(family.Extensions.begin(), family.Extensions.end(), lowerCaseExtension) !=
            family.Extensions.end()) {
            return family.Order;
        }
    }
    return {};
}

bool IsListedExtension(std::string_view lowerCaseExtension, bool allFormats) {
    const std::span<const ReaderKind> order = ReaderOrderFor(lowerCaseExtension);
    return !order.empty() && (allFormats || IsClassic(order.front()));
}

bool AddReaderRow(ReaderSet& readers, ByteSource& source, const FileFacts& file,
                  std::span<const ReaderKind> order, bool allFormats, const std::atomic<bool>& stop,
                  const std::function<void(FileRow)>& add) {
    // One load, then its row; a reader that raises, or whose row cannot be
    // added, has refused the file. Nothing, once a stop has ended a load.
    bool stopped = false;
    const auto tryReader = [&](const ReaderEntry& entry) {
        try {
            source.Seek(0);
            if (std::optional<FileRow> row = entry.Load(readers, source, file)) {
                row->Path = file.Path;
                add(std::move(*row));
                return true;
            }
        } catch (...) {
            stopped = stop.load();
        }
        return false;
    };
    // The first bytes, read only when a content test needs them.
    std::array<std::uint8_t, kContentHeadBytes> head{};
    std::optional<std::span<const std::uint8_t>> first;
    const auto headBytes = [&] {
        if (!first) {
            source.Seek(0);
            first = std::span<const std::uint8_t>(head.data(), source.Read(head));
        }
        return *first;
    };
    const auto inOrder = [&](ReaderKind kind) {
        return std::find(order.begin(), order.end(), kind) != order.end();
    };
    // The MPEG byte search is not tried inside a container that an earlier
    // reader recognised: MPEG-4 video holds the same start codes, and would
    // give a row of nonsense. With all formats on, a container that a modern
    // reader's content test names counts too (Matroska named .avi).
    bool recognised = false;
    for (const ReaderKind kind : order) {
        if (!allFormats && !IsClassic(kind)) {
            continue;
        }
        if (kind == ReaderKind::Mpeg && allFormats && !recognised) {
            recognised = std::any_of(kTable.begin(), kTable.end(), [&](const ReaderEntry& entry) {
                return entry.Recognises != nullptr && entry.Kind != ReaderKind::Mpeg &&
                       !inOrder(entry.Kind) && entry.Recognises(headBytes());
            });
        }
        if (kind == ReaderKind::Mpeg && recognised) {
            break;
        }
        const ReaderEntry& entry = ReaderFor(kind);
        if (tryReader(entry)) {
            return true;
        }
        if (stopped) {
            return false;
        }
        recognised = recognised || entry.RecognisedContainer(readers);
    }
    if (!allFormats) {
        return false;
    }
    for (const ReaderEntry& entry : kTable) {
        if (entry.Recognises == nullptr || inOrder(entry.Kind) || !entry.Recognises(headBytes())) {
            continue;
        }
        if (tryReader(entry)) {
            return true;
        }
        if (stopped) {
            return false;
        }
    }
    return false;
}

} // namespace vidarium
