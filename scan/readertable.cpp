#include "readertable.h"
#include "readerset.h"

#include "audioformattags.h"
#include "bytesource.h"
#include "faults.h"

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

// How each reader loads a file and makes its row: the classic readers their
// own rows, the modern ones (and the AVI streams) the modern row of their
// summary. Each loading names its reader, so one entry template serves all.
template <typename Reader>
bool LoadWith(Reader& reader, ByteSource& source, const FileFacts& file) {
    if constexpr (requires { reader.LoadFromSource(source, file.Path); }) {
        return reader.LoadFromSource(source, file.Path);
    } else {
        return reader.LoadFromSource(source);
    }
}

template <typename ReaderType,
          FileRow (*MakeRow)(std::string caption, std::uint64_t size, const ReaderType& reader)>
struct ClassicLoading {
    using Reader = ReaderType;
    static bool Load(Reader& reader, ByteSource& source, const FileFacts& file) {
        return LoadWith(reader, source, file);
    }
    static FileRow Row(const Reader& reader, const FileFacts& file, RowSource /*source*/) {
        return MakeRow(file.Caption(), file.Size, reader);
    }
};

template <typename ReaderType> struct ModernLoading {
    using Reader = ReaderType;
    static bool Load(Reader& reader, ByteSource& source, const FileFacts& file) {
        return LoadWith(reader, source, file);
    }
    static FileRow Row(const Reader& reader, const FileFacts& file, RowSource source) {
        return MakeModernRow(file.Caption(), file.Size, source, reader.Summary);
    }
};

// An AVI with one kind of stream, or any AVI a classic order did not reach:
// the same walk, then the streams it found.
struct AviStreamsLoading {
    using Reader = CAVIHeaderReader;
    static bool Load(Reader& reader, ByteSource& source, const FileFacts& file) {
        return reader.LoadStreams(source, file.Path);
    }
    static FileRow Row(const Reader& reader, const FileFacts& file, RowSource source) {
        return MakeModernRow(file.Caption(), file.Size, source,
                             reader.StreamSummary(static_cast<std::int64_t>(file.Size)));
    }
};

// Whether the reader's last refusal or fault still saw its own container.
template <typename Reader> bool SawOwnContainer(const Reader& reader) {
    if constexpr (requires { reader.RecognisedContainer(); }) {
        return reader.RecognisedContainer();
    } else if constexpr (requires { reader.RecognisedContainer; }) {
        return reader.RecognisedContainer;
    } else {
        return false;
    }
}

// Whether a refusal by the reader can count as its container recognised: a
// byte search or a program stream it refuses may still hold what the
// classic byte search finds.
enum class Recognition { Counts, Never };

template <typename Loading, RowSource Source>
std::optional<FileRow> LoadRow(ReaderSet& readers, ByteSource& source, const FileFacts& file) {
    auto& reader = readers.Get<typename Loading::Reader>();
    if (!Loading::Load(reader, source, file)) {
        return std::nullopt;
    }
    return Loading::Row(reader, file, Source);
}

template <typename Loading, Recognition Counted> bool Recognised(const ReaderSet& readers) {
    return Counted == Recognition::Counts &&
           SawOwnContainer(readers.Get<typename Loading::Reader>());
}

struct EntryTraits {
    std::string_view Formats;
    std::span<const std::string_view> Extensions;
    bool SearchesBytes = false;
    bool (*Recognises)(std::span<const std::uint8_t> head) = nullptr;
};

template <ReaderKind Kind, RowSource Source, typename Loading,
          Recognition Counted = Recognition::Counts>
constexpr ReaderEntry Entry(std::string_view sourceName, EntryTraits traits) {
    return {Kind,
            Source,
            sourceName,
            traits.Formats,
            traits.Extensions,
            traits.SearchesBytes,
            traits.Recognises,
            LoadRow<Loading, Source>,
            Recognised<Loading, Counted>};
}

constexpr std::array<std::string_view, 4> kIsoExtensions{".mp4", ".m4v", ".3gp", ".3g2"};
constexpr std::array<std::string_view, 3> kMatroskaExtensions{".mkv", ".webm", ".mk3d"};
constexpr std::array<std::string_view, 4> kTsExtensions{".ts", ".m2ts", ".mts", ".m2t"};
constexpr std::array<std::string_view, 2> kAsfExtensions{".wmv", ".asf"};
constexpr std::array<std::string_view, 1> kFlvExtensions{".flv"};
constexpr std::array<std::string_view, 1> kOggExtensions{".ogv"};
constexpr std::array<std::string_view, 1> kPsExtensions{".m2p"};

template <typename Reader>
EntryTraits Modern(std::string_view formats, std::span<const std::string_view> extensions) {
    return {formats, extensions, false, Reader::RecognisesHead};
}

using K = ReaderKind;
using S = RowSource;
const std::array<ReaderEntry, 11> kTable{{
    Entry<K::Avi, S::Avi, ClassicLoading<CAVIHeaderReader, MakeAviRow>>("avi", {}),
    Entry<K::QuickTime, S::QuickTime, ClassicLoading<CQuickTimeReader, MakeMovRow>>("quicktime",
                                                                                    {}),
    Entry<K::Mpeg, S::Mpeg, ClassicLoading<CMPEGHeaderReader, MakeMpegRow>, Recognition::Never>(
        "mpeg", {{}, {}, true, StartsLikeMpeg}),
    Entry<K::Iso, S::Iso, ModernLoading<CIsoReader>>(
        "mp4", Modern<CIsoReader>("MP4, M4V, 3GP", kIsoExtensions)),
    Entry<K::Matroska, S::Matroska, ModernLoading<CMatroskaReader>>(
        "matroska", Modern<CMatroskaReader>("Matroska, WebM", kMatroskaExtensions)),
    Entry<K::Ts, S::Ts, ModernLoading<CTsReader>>(
        "ts", Modern<CTsReader>("transport stream", kTsExtensions)),
    Entry<K::Asf, S::Asf, ModernLoading<CAsfReader>>(
        "asf", Modern<CAsfReader>("WMV, ASF", kAsfExtensions)),
    Entry<K::Flv, S::Flv, ModernLoading<CFlvReader>>("flv",
                                                     Modern<CFlvReader>("FLV", kFlvExtensions)),
    Entry<K::Ogg, S::Ogg, ModernLoading<COggReader>>(
        "ogg", Modern<COggReader>("Ogg video", kOggExtensions)),
    Entry<K::Ps, S::Ps, ModernLoading<CPsReader>, Recognition::Never>(
        "ps", Modern<CPsReader>("MPEG-PS", kPsExtensions)),
    Entry<K::AviStreams, S::Avi, AviStreamsLoading>("avi", {{}, {}, false, StartsLikeAvi}),
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

std::string_view RowSourceName(RowSource source) {
    if (source == RowSource::Plain) {
        return "none";
    }
    const auto* found =
        std::find_if(kTable.begin(), kTable.end(),
                     [source](const ReaderEntry& entry) { return entry.Source == source; });
    if (found == kTable.end()) {
        throw std::out_of_range("no reader gives rows of that source");
    }
    return found->SourceName;
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
        Outcome outcome = Outcome::Refused;
        const bool ran = EvenIfItFails([&] {
            source_.Seek(0);
            if (std::optional<FileRow> row = entry.Load(readers_, source_, file_)) {
                row->Path = file_.Path;
                add_(std::move(*row));
                outcome = Outcome::Added;
            }
        });
        if (!ran) {
            return stop_.load() ? Outcome::Stopped : Outcome::Refused;
        }
        return outcome;
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
