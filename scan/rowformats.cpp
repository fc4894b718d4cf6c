#include "rowformats.h"

#include "localtext.h"
#include "readertable.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <array>
#include <ctime>

namespace vidarium {
namespace {

void AppendCsvField(std::string& out, std::string_view field) {
    if (field.find_first_of(",\"\r\n") == std::string_view::npos) {
        out += field;
        return;
    }
    out += '"';
    for (const char c : field) {
        if (c == '"') {
            out += '"';
        }
        out += c;
    }
    out += '"';
}

std::string Hex(std::string_view bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        hex += kDigits[byte >> 4];
        hex += kDigits[byte & 15];
    }
    return hex;
}

// Sets object[key] to the text; bytes that are not UTF-8 become Latin-1
// characters, and object[key + "_bytes"] keeps the original bytes in hex.
void SetText(nlohmann::ordered_json& object, const std::string& key, std::string_view bytes) {
    if (IsValidUtf8(bytes)) {
        object[key] = std::string(bytes);
    } else {
        object[key] = Latin1ToUtf8(bytes);
        object[key + "_bytes"] = Hex(bytes);
    }
}

template <typename Value>
void SetIfPresent(nlohmann::ordered_json& object, const char* key,
                  const std::optional<Value>& value) {
    if (value) {
        object[key] = *value;
    }
}

void SetTextIfStated(nlohmann::ordered_json& object, const char* key, const std::string& text) {
    if (!text.empty()) {
        SetText(object, key, text);
    }
}

// What a field's writer knows of the row.
struct JsonRow {
    const FileRow& Row;
    const MediaSummary& Summary;
    std::string_view RelativePath;
    // QuickTime and modern rows state every codec text and user-data list
    // they read, even an empty one; AVI and MPEG rows only what they name.
    bool Modern;
    bool StatesTexts;
};
using Json = nlohmann::ordered_json;

// A value of the video or the sound, where the row has that stream.
template <auto has, auto value>
void StreamNumber(Json& object, const char* key, const JsonRow& row) {
    if (row.Summary.*has) {
        SetIfPresent(object, key, row.Summary.*value);
    }
}
// A codec's four-character code or codec ID, always; its name where the
// row states texts or has one.
template <auto has, auto code> void CodecCode(Json& object, const char* key, const JsonRow& row) {
    if (row.Summary.*has) {
        SetText(object, key, row.Summary.*code);
    }
}
template <auto has, auto name> void CodecName(Json& object, const char* key, const JsonRow& row) {
    if (row.Summary.*has && (row.StatesTexts || !(row.Summary.*name).empty())) {
        SetText(object, key, row.Summary.*name);
    }
}
// The modern rows' picture values beyond the list's columns, where stated.
template <auto text> void PictureText(Json& object, const char* key, const JsonRow& row) {
    if (row.Summary.HasVideo) {
        SetTextIfStated(object, key, row.Summary.*text);
    }
}
void Rotation(Json& object, const char* key, const JsonRow& row) {
    if (row.Summary.HasVideo && row.Summary.Rotation != 0) {
        object[key] = row.Summary.Rotation;
    }
}
template <auto count> void TrackCount(Json& object, const char* key, const JsonRow& row) {
    if (row.Modern) {
        object[key] = row.Summary.*count;
    }
}
template <auto languages> void Languages(Json& object, const char* key, const JsonRow& row) {
    if (!row.Modern || (row.Summary.*languages).empty()) {
        return;
    }
    Json list = Json::array();
    for (const std::string& language : row.Summary.*languages) {
        list.push_back(IsValidUtf8(language) ? language : Latin1ToUtf8(language));
    }
    object[key] = std::move(list);
}
void UserData(Json& object, const char* key, const JsonRow& row) {
    if (!row.StatesTexts) {
        return;
    }
    Json items = Json::array();
    for (const MetadataItem& entry : row.Summary.Metadata) {
        Json item = Json::object();
        SetText(item, "label", entry.Label);
        SetText(item, "text", entry.Text);
        items.push_back(std::move(item));
    }
    object[key] = std::move(items);
}

// The fields of a JSON line, in the order it writes them: the one list that
// the writer and the catalogue's view read.
struct JsonFieldWriter {
    JsonField Field;
    void (*Write)(Json& object, const char* key, const JsonRow& row);
};
using S = MediaSummary;
constexpr JsonFieldWriter kJsonFields[] = {
    {{"path", JsonKind::Value},
     [](Json& object, const char* key, const JsonRow& row) {
         SetText(object, key, row.RelativePath);
     }},
    {{"name", JsonKind::Value},
     [](Json& object, const char* key, const JsonRow& row) {
         SetText(object, key, FileNameOf(row.Row));
     }},
    {{"size", JsonKind::Value},
     [](Json& object, const char* key, const JsonRow& row) { object[key] = row.Row.Size; }},
    {{"reader", JsonKind::Value},
     [](Json& object, const char* key, const JsonRow& row) {
         object[key] = RowSourceName(row.Row.Source);
     }},
    {{"container", JsonKind::Value},
     [](Json& object, const char* key, const JsonRow& row) {
         if (row.Modern) {
             SetText(object, key, row.Summary.Container);
         }
     }},
    {{"duration_ms", JsonKind::Value},
     [](Json& object, const char* key, const JsonRow& row) {
         SetIfPresent(object, key, row.Summary.DurationMs);
     }},
    {{"video_codec", JsonKind::Value}, CodecCode<&S::HasVideo, &S::VideoCode>},
    {{"video_codec_name", JsonKind::Value}, CodecName<&S::HasVideo, &S::VideoCodec>},
    {{"video_bit_rate", JsonKind::Value}, StreamNumber<&S::HasVideo, &S::VideoBitRate>},
    {{"width", JsonKind::Value}, StreamNumber<&S::HasVideo, &S::Width>},
    {{"height", JsonKind::Value}, StreamNumber<&S::HasVideo, &S::Height>},
    {{"frame_rate", JsonKind::Value}, StreamNumber<&S::HasVideo, &S::FrameRate>},
    {{"audio_codec", JsonKind::Value}, CodecCode<&S::HasAudio, &S::AudioCode>},
    {{"audio_codec_name", JsonKind::Value}, CodecName<&S::HasAudio, &S::AudioCodec>},
    {{"audio_bit_rate", JsonKind::Value}, StreamNumber<&S::HasAudio, &S::AudioBitRate>},
    {{"sample_rate", JsonKind::Value}, StreamNumber<&S::HasAudio, &S::SampleRate>},
    {{"channels", JsonKind::Value}, StreamNumber<&S::HasAudio, &S::Channels>},
    {{"video_profile", JsonKind::Value}, PictureText<&S::VideoProfile>},
    {{"bit_depth", JsonKind::Value},
     [](Json& object, const char* key, const JsonRow& row) {
         if (row.Summary.HasVideo && row.Summary.BitDepth > 0) {
             object[key] = row.Summary.BitDepth;
         }
     }},
    {{"hdr", JsonKind::Value}, PictureText<&S::Hdr>},
    {{"display_aspect", JsonKind::Value}, PictureText<&S::DisplayAspect>},
    {{"rotation", JsonKind::Value}, Rotation},
    {{"video_tracks", JsonKind::Value}, TrackCount<&S::VideoTracks>},
    {{"audio_tracks", JsonKind::Value}, TrackCount<&S::AudioTracks>},
    {{"subtitle_tracks", JsonKind::Value}, TrackCount<&S::SubtitleTracks>},
    {{"audio_languages", JsonKind::List}, Languages<&S::AudioLanguages>},
    {{"subtitle_languages", JsonKind::List}, Languages<&S::SubtitleLanguages>},
    {{"user_data", JsonKind::List}, UserData},
    {{"truncated", JsonKind::Value},
     [](Json& object, const char* key, const JsonRow& row) {
         if (row.Summary.Truncated) {
             object[key] = true;
         }
     }},
};

} // namespace

void AppendCsvHeader(std::string& out, std::span<const std::size_t> columns) {
    for (std::size_t i = 0; i < columns.size(); ++i) {
        if (i > 0) {
            out += ',';
        }
        AppendCsvField(out, kColumns.at(columns[i]).Name);
    }
    out += "\r\n";
}

void AppendCsvRecord(std::string& out, const FileRow& row, std::string_view relativePath,
                     std::span<const std::size_t> columns) {
    // Under a UTF-8 locale a cell of bytes as the movie or the file system
    // stored them (a QuickTime text, a codec name, a name from another
    // system) that is not UTF-8 is decoded run by run, its other bytes taken
    // as Latin-1, so that every record decodes. Under another character set
    // a name keeps the locale's rule.
    const bool utf8 = LocaleIsUtf8();
    for (std::size_t i = 0; i < columns.size(); ++i) {
        if (i > 0) {
            out += ',';
        }
        const Column& column = kColumns.at(columns[i]);
        const std::string cell = CsvText(column, row, relativePath);
        if (utf8) {
            AppendCsvField(out, IsValidUtf8(cell) ? cell : RunsToUtf8(cell));
        } else if (column.Source == ColumnSource::Name || column.Source == ColumnSource::Path) {
            AppendCsvField(out, NativeBytesToLocaleText(cell));
        } else {
            AppendCsvField(out, cell);
        }
    }
    out += "\r\n";
}

std::span<const JsonField> JsonFields() {
    static const auto fields = [] {
        std::array<JsonField, std::size(kJsonFields)> list{};
        std::transform(std::begin(kJsonFields), std::end(kJsonFields), list.begin(),
                       [](const JsonFieldWriter& writer) { return writer.Field; });
        return list;
    }();
    return fields;
}

void AppendJsonLine(std::string& out, const FileRow& row, std::string_view relativePath) {
    const bool modern = !row.Summary.Container.empty();
    const JsonRow about{row, row.Summary, relativePath, modern,
                        modern || row.Source == RowSource::QuickTime};
    Json object = Json::object();
    for (const JsonFieldWriter& writer : kJsonFields) {
        writer.Write(object, writer.Field.Key, about);
    }
    out += object.dump();
    out += '\n';
}

void AppendRecord(std::string& out, const FileRow& row, OutputFormat format,
                  std::span<const std::size_t> csvColumns) {
    std::string_view relative = row.Path.native();
    relative.remove_prefix(std::min(row.RootLength, relative.size()));
    switch (format) {
    case OutputFormat::Tsv:
        AppendExportLine(out, row);
        break;
    case OutputFormat::Csv:
        AppendCsvRecord(out, row, relative, csvColumns);
        break;
    case OutputFormat::Json:
        AppendJsonLine(out, row, relative);
        break;
    }
}

namespace {

// A record of text fields in TSV or CSV (a field that is not UTF-8 as its
// runs of UTF-8 and Latin-1 bytes), ended by CR LF.
void AppendFields(std::string& out, std::span<const std::string> fields, OutputFormat format) {
    for (std::size_t i = 0; i < fields.size(); ++i) {
        if (format == OutputFormat::Csv) {
            out += i > 0 ? "," : "";
            AppendCsvField(out, IsValidUtf8(fields[i]) ? fields[i] : RunsToUtf8(fields[i]));
        } else {
            out += (i > 0 ? "\t" : "") + fields[i];
        }
    }
    out += "\r\n";
}

void AppendJson(std::string& out, const Json& object) {
    out += object.dump();
    out += '\n';
}

// Seconds since 1970 as UTC "YYYY-MM-DDTHH:MM:SSZ".
std::string UtcText(std::time_t seconds) {
    std::tm parts{};
    std::array<char, 32> text{};
    if (gmtime_r(&seconds, &parts) == nullptr ||
        std::strftime(text.data(), text.size(), "%Y-%m-%dT%H:%M:%SZ", &parts) == 0) {
        return {};
    }
    return text.data();
}

} // namespace

void AppendTotals(std::string& out, std::span<const TotalsGroup> groups, TotalsField field,
                  OutputFormat format) {
    if (format != OutputFormat::Json) {
        const std::array<std::string, 4> captions{TotalsFieldCaption(field), "Movies", "Bytes",
                                                  "Running time"};
        AppendFields(out, captions, format);
    }
    for (const TotalsGroup& group : groups) {
        if (format == OutputFormat::Json) {
            Json object = Json::object();
            SetText(object, std::string(TotalsFieldKey(field)), group.Value);
            object["movies"] = group.Movies;
            object["bytes"] = group.Bytes;
            object["duration_ms"] = group.DurationMs;
            AppendJson(out, object);
        } else {
            const std::array<std::string, 4> fields{
                group.Value, std::to_string(group.Movies), std::to_string(group.Bytes),
                TimeTextFromMs(static_cast<std::uint64_t>(group.DurationMs))};
            AppendFields(out, fields, format);
        }
    }
}

void AppendDrives(std::string& out, std::span<const CataloguedRoot> roots, OutputFormat format) {
    if (format != OutputFormat::Json) {
        const std::array<std::string, 8> captions{"Label",  "UUID",  "Path",         "Connected",
                                                  "Movies", "Bytes", "Running time", "Last scan"};
        AppendFields(out, captions, format);
    }
    for (const CataloguedRoot& root : roots) {
        if (format == OutputFormat::Json) {
            Json object = Json::object();
            SetText(object, "label", root.Label);
            object["uuid"] = root.Uuid;
            SetText(object, "path", root.Path);
            object["connected"] = root.ConnectedAt.has_value();
            if (root.ConnectedAt) {
                SetText(object, "mounted_at", *root.ConnectedAt);
            }
            object["movies"] = root.Movies;
            object["bytes"] = root.Bytes;
            object["duration_ms"] = root.DurationMs;
            if (root.LastScan != 0) {
                object["last_scan"] = UtcText(root.LastScan);
            }
            AppendJson(out, object);
            continue;
        }
        const std::string connected = !root.ConnectedAt                ? "no"
                                      : *root.ConnectedAt == root.Path ? "yes"
                                                                       : "at " + *root.ConnectedAt;
        const std::array<std::string, 8> fields{
            root.Label,
            root.Uuid,
            root.Path,
            connected,
            std::to_string(root.Movies),
            std::to_string(root.Bytes),
            TimeTextFromMs(static_cast<std::uint64_t>(root.DurationMs)),
            root.LastScan != 0 ? ModifiedText(std::int64_t{root.LastScan} * 1'000'000'000)
                               : std::string()};
        AppendFields(out, fields, format);
    }
}

void AppendDuplicates(std::string& out, std::span<const DuplicateGroup> groups,
                      OutputFormat format) {
    if (format != OutputFormat::Json) {
        const std::array<std::string, 6> captions{"Group", "Size",      "Wasted",
                                                  "Drive", "Connected", "Path"};
        AppendFields(out, captions, format);
    }
    std::size_t number = 0;
    for (const DuplicateGroup& group : groups) {
        ++number;
        for (const DuplicateCopy& copy : group.Copies) {
            if (format == OutputFormat::Json) {
                Json object = Json::object();
                object["group"] = number;
                object["size"] = group.Size;
                object["wasted"] = group.Wasted();
                SetText(object, "drive", copy.Drive);
                object["connected"] = copy.Connected;
                SetText(object, "path", copy.Row.Path.native());
                AppendJson(out, object);
                continue;
            }
            const std::array<std::string, 6> fields{
                std::to_string(number),         std::to_string(group.Size),
                std::to_string(group.Wasted()), copy.Drive,
                copy.Connected ? "yes" : "no",  copy.Row.Path.native()};
            AppendFields(out, fields, format);
        }
        if (format == OutputFormat::Tsv) {
            out += "\r\n";
        }
    }
}

} // namespace vidarium
