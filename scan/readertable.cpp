#include "readertable.h"
#include "readerset.h"

#include "audioformattags.h"
#include "bytesource.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <stdexcept>
#include <type_traits>
#include <utility>
#include <vector>

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

// A modern reader's entry: its content test, its load and the modern row.
template <ReaderKind Kind, typename Reader, RowSource Source>
constexpr ReaderEntry ModernEntry(std::string_view formats,
                                  std::span<const std::string_view> extensions) {
    return {Kind,
            Source,
            formats,
            extensions,
            false,
            Reader::RecognisesHead,
            [](ReaderSet& r, ByteSource& source, const FileFacts& file) -> std::optional<FileRow> {
                auto& reader = r.Get<Reader>();
                if (!reader.LoadFromSource(source, file.Path)) {
                    return std::nullopt;
                }
                return MakeModernRow(file.Caption(), file.Size, Source, reader.Summary);
            },
            [](const ReaderSet& r) { return r.Get<Reader>().RecognisedContainer; }};
}

constexpr std::array<std::string_view, 4> kIsoExtensions{".mp4", ".m4v", ".3gp", ".3g2"};
constexpr std::array<std::string_view, 3> kMatroskaExtensions{".mkv", ".webm", ".mk3d"};
constexpr std::array<std::string_view, 4> kTsExtensions{".ts", ".m2ts", ".mts", ".m2t"};
constexpr std::array<std::string_view, 2> kAsfExtensions{".wmv", ".asf"};
constexpr std::array<std::string_view, 1> kFlvExtensions{".flv"};
constexpr std::array<std::string_view, 1> kOggExtensions{".ogv"};
constexpr std::array<std::string_view, 1> kPsExtensions{".m2p"};

const std::array<ReaderEntry, 11> kTable{{
    {ReaderKind::Avi,
     RowSource::Avi,
     {},
     {},
     false,
     nullptr,
     [](ReaderSet& r, ByteSource& source, const FileFacts& file) -> std::optional<FileRow> {
         auto& avi = r.Get<CAVIHeaderReader>();
         if (!avi.LoadFromSource(source, file.Path)) {
             return std::nullopt;
         }
         return MakeAviRow(file.Caption(), file.Size, avi);
     },
     [](const ReaderSet& r) { return r.Get<CAVIHeaderReader>().RecognisedContainer; }},
    {ReaderKind::QuickTime,
     RowSource::QuickTime,
     {},
     {},
     false,
     nullptr,
     [](ReaderSet& r, ByteSource& source, const FileFacts& file) -> std::optional<FileRow> {
         auto& quickTime = r.Get<CQuickTimeReader>();
         if (!quickTime.LoadFromSource(source, file.Path)) {
             return std::nullopt;
         }
         return MakeMovRow(file.Caption(), file.Size, quickTime);
     },
     [](const ReaderSet& r) { return r.Get<CQuickTimeReader>().RecognisedContainer(); }},
    {ReaderKind::Mpeg,
     RowSource::Mpeg,
     {},
     {},
     true,
     StartsLikeMpeg,
     [](ReaderSet& r, ByteSource& source, const FileFacts& file) -> std::optional<FileRow> {
         auto& mpeg = r.Get<CMPEGHeaderReader>();
         if (!mpeg.LoadFromSource(source)) {
             return std::nullopt;
         }
         return MakeMpegRow(file.Caption(), file.Size, mpeg);
     },
     [](const ReaderSet&) { return false; }},
    ModernEntry<ReaderKind::Iso, CIsoReader, RowSource::Iso>("MP4, M4V, 3GP", kIsoExtensions),
    ModernEntry<ReaderKind::Matroska, CMatroskaReader, RowSource::Matroska>("Matroska, WebM",
                                                                            kMatroskaExtensions),
    ModernEntry<ReaderKind::Ts, CTsReader, RowSource::Ts>("transport stream", kTsExtensions),
    ModernEntry<ReaderKind::Asf, CAsfReader, RowSource::Asf>("WMV, ASF", kAsfExtensions),
    ModernEntry<ReaderKind::Flv, CFlvReader, RowSource::Flv>("FLV", kFlvExtensions),
    ModernEntry<ReaderKind::Ogg, COggReader, RowSource::Ogg>("Ogg video", kOggExtensions),
    // A program stream it refuses may still hold what the classic byte
    // search finds: it never counts as recognised.
    {ReaderKind::Ps, RowSource::Ps, "MPEG-PS", kPsExtensions, false, CPsReader::RecognisesHead,
     [](ReaderSet& r, ByteSource& source, const FileFacts& file) -> std::optional<FileRow> {
         auto& reader = r.Get<CPsReader>();
         if (!reader.LoadFromSource(source, file.Path)) {
             return std::nullopt;
         }
         return MakeModernRow(file.Caption(), file.Size, RowSource::Ps, reader.Summary);
     },
     [](const ReaderSet&) { return false; }},
    // An AVI with one kind of stream, or any AVI a classic order did not
    // reach: the same walk, then the streams it found.
    {ReaderKind::AviStreams,
     RowSource::Avi,
     {},
     {},
     false,
     StartsLikeAvi,
     [](ReaderSet& r, ByteSource& source, const FileFacts& file) -> std::optional<FileRow> {
         auto& avi = r.Get<CAVIHeaderReader>();
         if (!avi.LoadStreams(source, file.Path)) {
             return std::nullopt;
         }
         return MakeModernRow(file.Caption(), file.Size, RowSource::Avi,
                              avi.StreamSummary(static_cast<std::int64_t>(file.Size)));
     },
     [](const ReaderSet& r) { return r.Get<CAVIHeaderReader>().RecognisedContainer; }},
}};

// The classic extensions and the fixed order of their readers, after the
// modern readers that all formats on tries first: every AVI gets the modern
// AVI row, a QuickTime movie the MP4 reader's, a program stream the
// packet-aware reader's; the classic row only when they refuse.
constexpr std::array<std::string_view, 3> kQuickTimeFamily{".avi", ".divx", ".mov"};
constexpr std::array<std::string_view, 6> kMpegFamily{".mpg", ".mpeg", ".mpe",
                                                      ".m1v", ".m2v",  ".vob"};
constexpr std::array kQuickTimeOrder{ReaderKind::AviStreams, ReaderKind::Iso, ReaderKind::Avi,
                                     ReaderKind::QuickTime, ReaderKind::Mpeg};
constexpr std::array kMpegOrder{ReaderKind::AviStreams, ReaderKind::Ps, ReaderKind::Avi,
                                ReaderKind::Mpeg};

struct Family {
    std::span<const std::string_view> Extensions;
    std::span<const ReaderKind> Order;
};
constexpr std::array<Family, 2> kClassicFamilies{{
    {kQuickTimeFamily, kQuickTimeOrder},
    {kMpegFamily, kMpegOrder},
}};

bool IsClassic(ReaderKind kind) {
    return kind == ReaderKind::Avi || kind == ReaderKind::QuickTime || kind == ReaderKind::Mpeg;
}

} // namespace

std::span<const ReaderEntry> ReaderTable() {
    return kTable;
}

const ReaderEntry& ReaderFor(ReaderKind kind) {
    const auto* found =
        std::find_if(kTable.begin(), kTable.end(),
                     [kind](const ReaderEntry& entry) { return entry.Kind == kind; });
    if (found == kTable.end()) {
        throw std::out_of_range("no reader of that kind");
    }
    return *found;
}

std::span<const ReaderKind> ReaderOrderFor(std::string_view lowerCaseExtension) {
    const auto names = [&](std::span<const std::string_view> extensions) {
        return std::find(extensions.begin(), extensions.end(), lowerCaseExtension) !=
               extensions.end();
    };
    for (const Family& family : kClassicFamilies) {
        if (names(family.Extensions)) {
            return family.Order;
        }
    }
    // A modern extension: its reader alone, then the ones its content names.
    for (const ReaderEntry& entry : kTable) {
        if (names(entry.Extensions)) {
            return {&entry.Kind, 1};
        }
    }
    return {};
}

std::string ModernFormatsText() {
    std::vector<std::string_view> formats;
    for (const ReaderEntry& entry : kTable) {
        if (!entry.Formats.empty()) {
            formats.push_back(entry.Formats);
        }
    }
    std::string text;
    for (std::size_t i = 0; i < formats.size(); ++i) {
        text += i == 0 ? "" : i + 1 == formats.size() ? " and " : ", ";
        text += formats[i];
    }
    return text;
}

bool SourceCanMake(RowSource source, std::string_view lowerCaseExtension, bool allFormats) {
    if (source == RowSource::Plain || allFormats) {
        return true;
    }
    const std::span<const ReaderKind> order = ReaderOrderFor(lowerCaseExtension);
    return std::any_of(order.begin(), order.end(), [&](ReaderKind kind) {
        return IsClassic(kind) && ReaderFor(kind).Source == source;
    });
}

bool IsListedExtension(std::string_view lowerCaseExtension, bool allFormats) {
    const std::span<const ReaderKind> order = ReaderOrderFor(lowerCaseExtension);
    return allFormats ? !order.empty() : std::any_of(order.begin(), order.end(), IsClassic);
}

namespace {

// One file's reading: the readers of its extension's order, then (all
// formats on) the readers its content names. A reader that raises, or
// whose row cannot be added, has refused the file; nothing more is tried
// once a stop has ended a load.
class FileReading {
public:
    FileReading(ReaderSet& readers, ByteSource& source, const FileFacts& file,
                std::span<const ReaderKind> order, bool allFormats, const std::atomic<bool>& stop,
                const std::function<void(FileRow)>& add)
        : readers_(readers), source_(source), file_(file), order_(order), allFormats_(allFormats),
          stop_(stop), add_(add) {}

    bool Run() {
        if (const std::optional<bool> done = TryOrder()) {
            return *done;
        }
        return allFormats_ && TryByContent();
    }

private:
    enum class Outcome { Added, Refused, Stopped };

    Outcome Try(const ReaderEntry& entry) {
        try {
            source_.Seek(0);
            if (std::optional<FileRow> row = entry.Load(readers_, source_, file_)) {
                row->Path = file_.Path;
                add_(std::move(*row));
                return Outcome::Added;
            }
        } catch (...) {
            return stop_.load() ? Outcome::Stopped : Outcome::Refused;
        }
        return Outcome::Refused;
    }

    // The first bytes, read only when a content test needs them.
    std::span<const std::uint8_t> HeadBytes() {
        if (!first_) {
            source_.Seek(0);
            first_ = std::span<const std::uint8_t>(head_.data(), source_.Read(head_));
        }
        return *first_;
    }

    bool InOrder(ReaderKind kind) const {
        return std::find(order_.begin(), order_.end(), kind) != order_.end();
    }

    // A reader outside the order whose content test names the file.
    bool NamedByAnotherReader() {
        return std::any_of(kTable.begin(), kTable.end(), [&](const ReaderEntry& other) {
            return other.Recognises != nullptr && !other.SearchesBytes && !InOrder(other.Kind) &&
                   other.Recognises(HeadBytes());
        });
    }

    // True once a row is added, false once a stop ended a load; nothing
    // when every reader of the order refused the file.
    std::optional<bool> TryOrder() {
        // A byte search is not tried inside a container that an earlier
        // reader recognised: MPEG-4 video holds the MPEG start codes, and
        // would give a row of nonsense. With all formats on, a container
        // that another reader's content test names counts too (Matroska
        // named .avi).
        bool recognised = false;
        for (const ReaderKind kind : order_) {
            if (!allFormats_ && !IsClassic(kind)) {
                continue;
            }
            const ReaderEntry& entry = ReaderFor(kind);
            if (entry.SearchesBytes) {
                recognised = recognised || (allFormats_ && NamedByAnotherReader());
                if (recognised) {
                    break;
                }
            }
            if (const Outcome outcome = Try(entry); outcome != Outcome::Refused) {
                return outcome == Outcome::Added;
            }
            recognised = recognised || entry.RecognisedContainer(readers_);
        }
        return std::nullopt;
    }

    bool TryByContent() {
        for (const ReaderEntry& entry : kTable) {
            if (entry.Recognises == nullptr || InOrder(entry.Kind) ||
                !entry.Recognises(HeadBytes())) {
                continue;
            }
            if (const Outcome outcome = Try(entry); outcome != Outcome::Refused) {
                return outcome == Outcome::Added;
            }
        }
        return false;
    }

    ReaderSet& readers_;
    ByteSource& source_;
    const FileFacts& file_;
    std::span<const ReaderKind> order_;
    const bool allFormats_;
    const std::atomic<bool>& stop_;
    const std::function<void(FileRow)>& add_;
    std::array<std::uint8_t, kContentHeadBytes> head_{};
    std::optional<std::span<const std::uint8_t>> first_;
};

} // namespace

bool AddReaderRow(ReaderSet& readers, ByteSource& source, const FileFacts& file,
                  std::span<const ReaderKind> order, bool allFormats, const std::atomic<bool>& stop,
                  const std::function<void(FileRow)>& add) {
    return FileReading(readers, source, file, order, allFormats, stop, add).Run();
}

} // namespace vidarium
