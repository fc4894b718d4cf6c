#include "rowformats.h"

#include "localtext.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <array>

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

void SetVideoFields(nlohmann::ordered_json& object, const MediaSummary& summary, bool statesTexts) {
    SetText(object, "video_codec", summary.VideoCode);
    if (statesTexts || !summary.VideoCodec.empty()) {
        SetText(object, "video_codec_name", summary.VideoCodec);
    }
    SetIfPresent(object, "video_bit_rate", summary.VideoBitRate);
    SetIfPresent(object, "width", summary.Width);
    SetIfPresent(object, "height", summary.Height);
    SetIfPresent(object, "frame_rate", summary.FrameRate);
}

void SetAudioFields(nlohmann::ordered_json& object, const MediaSummary& summary, bool statesTexts) {
    SetText(object, "audio_codec", summary.AudioCode);
    if (statesTexts || !summary.AudioCodec.empty()) {
        SetText(object, "audio_codec_name", summary.AudioCodec);
    }
    SetIfPresent(object, "audio_bit_rate", summary.AudioBitRate);
    SetIfPresent(object, "sample_rate", summary.SampleRate);
    SetIfPresent(object, "channels", summary.Channels);
}

// The modern rows' picture values beyond the list's columns.
void SetPictureDetails(nlohmann::ordered_json& object, const MediaSummary& summary) {
    SetTextIfStated(object, "video_profile", summary.VideoProfile);
    if (summary.BitDepth > 0) {
        object["bit_depth"] = summary.BitDepth;
    }
    SetTextIfStated(object, "hdr", summary.Hdr);
    SetTextIfStated(object, "display_aspect", summary.DisplayAspect);
    if (summary.Rotation != 0) {
        object["rotation"] = summary.Rotation;
    }
}

void SetTrackFields(nlohmann::ordered_json& object, const MediaSummary& summary) {
    object["video_tracks"] = summary.VideoTracks;
    object["audio_tracks"] = summary.AudioTracks;
    object["subtitle_tracks"] = summary.SubtitleTracks;
    for (const auto& [key, languages] :
         {std::pair{"audio_languages", &summary.AudioLanguages},
          std::pair{"subtitle_languages", &summary.SubtitleLanguages}}) {
        if (!languages->empty()) {
            nlohmann::ordered_json list = nlohmann::ordered_json::array();
            for (const std::string& language : *languages) {
                list.push_back(IsValidUtf8(language) ? language : Latin1ToUtf8(language));
            }
            object[key] = std::move(list);
        }
    }
}

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

void AppendJsonLine(std::string& out, const FileRow& row, std::string_view relativePath) {
    nlohmann::ordered_json object = nlohmann::ordered_json::object();
    SetText(object, "path", relativePath);
    SetText(object, "name", row.Path.empty() ? row.Caption : row.Path.filename().native());
    object["size"] = row.Size;
    object["reader"] = RowSourceName(row.Source);
    const MediaSummary& summary = row.Summary;
    // QuickTime and modern rows state every codec text and user-data list
    // they read, even an empty one; AVI and MPEG rows only what they name.
    const bool modern = !summary.Container.empty();
    const bool statesTexts = modern || row.Source == RowSource::QuickTime;
    if (modern) {
        SetText(object, "container", summary.Container);
    }
    SetIfPresent(object, "duration_ms", summary.DurationMs);
    if (summary.HasVideo) {
        SetVideoFields(object, summary, statesTexts);
    }
    if (summary.HasAudio) {
        SetAudioFields(object, summary, statesTexts);
    }
    if (summary.HasVideo) {
        SetPictureDetails(object, summary);
    }
    if (modern) {
        SetTrackFields(object, summary);
    }
    if (statesTexts) {
        nlohmann::ordered_json items = nlohmann::ordered_json::array();
        for (const MetadataItem& entry : summary.Metadata) {
            nlohmann::ordered_json item = nlohmann::ordered_json::object();
            SetText(item, "label", entry.Label);
            SetText(item, "text", entry.Text);
            items.push_back(std::move(item));
        }
        object["user_data"] = std::move(items);
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

} // namespace vidarium
