#include "columns.h"

#include "languages.h"
#include "localtext.h"

#include <algorithm>

namespace vidarium {
namespace {

// A name whose bytes are not the locale's text stays exact, for the list and
// CSV to decode; a row without a path has only its caption.
// The row's own sub-item `n` (1 is the size); a row without it shows none.
template <std::size_t n> std::string SubItem(const FileRow& row) {
    return n <= row.SubItems.size() ? row.SubItems[n - 1] : std::string();
}

std::string Nothing(const FileRow&) {
    return {};
}

std::string NonZeroText(std::int64_t value) {
    return value != 0 ? std::to_string(value) : std::string();
}

std::string Joined(const std::vector<std::string>& texts) {
    std::string joined;
    for (const std::string& text : texts) {
        joined += (joined.empty() ? "" : ", ") + text;
    }
    return joined;
}

// The languages' English names, as the codes are listed; a code without
// one (und) adds none.
std::string NamesOf(const std::vector<std::string>& codes) {
    std::vector<std::string> names;
    for (const std::string& code : codes) {
        if (const std::string_view name = LanguageNameOf(code); !name.empty()) {
            names.emplace_back(name);
        }
    }
    return Joined(names);
}

std::optional<double> Stated(const std::optional<std::int64_t>& value) {
    return value ? std::optional(static_cast<double>(*value)) : std::nullopt;
}

constexpr auto kNoNumber = nullptr;

} // namespace

const std::array<Column, 26> kColumns{{
    {"Filename", "Filename", ColumnSource::Name, ColumnAlign::Left, true, 0, FileNameOf, kNoNumber,
     false},
    {"Filesize", "Filesize", ColumnSource::Cell, ColumnAlign::Right, true, 0, SubItem<1>,
     [](const FileRow& row) { return std::optional(static_cast<double>(row.Size)); }, true},
    {"Length", "Length", ColumnSource::Cell, ColumnAlign::Right, true, 0, SubItem<2>,
     [](const FileRow& row) { return Stated(row.Summary.DurationMs); }, true},
    {"Video", "Video", ColumnSource::Cell, ColumnAlign::Left, true, 0, SubItem<3>, kNoNumber,
     false},
    {"Bitrate", "Video bitrate", ColumnSource::Cell, ColumnAlign::Right, true, 0, SubItem<4>,
     [](const FileRow& row) { return Stated(row.Summary.VideoBitRate); }, true},
    {"Width", "Width", ColumnSource::Cell, ColumnAlign::Right, true, 0, SubItem<5>,
     [](const FileRow& row) { return Stated(row.Summary.Width); }, true},
    {"Height", "Height", ColumnSource::Cell, ColumnAlign::Right, true, 0, SubItem<6>,
     [](const FileRow& row) { return Stated(row.Summary.Height); }, true},
    {"fps", "fps", ColumnSource::Cell, ColumnAlign::Left, true, 0, SubItem<7>,
     [](const FileRow& row) { return row.Summary.FrameRate; }, true},
    {"Audio", "Audio", ColumnSource::Cell, ColumnAlign::Left, true, 0, SubItem<8>, kNoNumber,
     false},
    {"Bitrate", "Audio bitrate", ColumnSource::Cell, ColumnAlign::Right, true, 0, SubItem<9>,
     [](const FileRow& row) { return Stated(row.Summary.AudioBitRate); }, true},
    {"Freq", "Freq", ColumnSource::Cell, ColumnAlign::Right, true, 0, SubItem<10>,
     [](const FileRow& row) { return Stated(row.Summary.SampleRate); }, true},
    {"Chn", "Chn", ColumnSource::Cell, ColumnAlign::Right, true, 0, SubItem<11>,
     [](const FileRow& row) { return Stated(row.Summary.Channels); }, true},
    {"Comments", "Comments", ColumnSource::Cell, ColumnAlign::Left, true, 0, SubItem<12>, kNoNumber,
     false, nullptr, nullptr, true},
    {"", nullptr, ColumnSource::Blank, ColumnAlign::Left, true, 44, Nothing, kNoNumber, false},
    {"Container", "Container", ColumnSource::Value, ColumnAlign::ByValue, false, 0,
     [](const FileRow& row) { return row.Summary.Container; }, kNoNumber, false},
    {"Profile", "Profile", ColumnSource::Value, ColumnAlign::ByValue, false, 0,
     [](const FileRow& row) { return row.Summary.VideoProfile; }, kNoNumber, false},
    {"Bit depth", "Bit depth", ColumnSource::Value, ColumnAlign::ByValue, false, 0,
     [](const FileRow& row) { return NonZeroText(row.Summary.BitDepth); },
     [](const FileRow& row) {
         return row.Summary.BitDepth > 0 ? std::optional(static_cast<double>(row.Summary.BitDepth))
                                         : std::nullopt;
     },
     false},
    {"HDR", "HDR", ColumnSource::Value, ColumnAlign::ByValue, false, 0,
     [](const FileRow& row) { return row.Summary.Hdr; }, kNoNumber, false, "Dolby Vision"},
    {"Rotation", "Rotation", ColumnSource::Value, ColumnAlign::ByValue, false, 0,
     [](const FileRow& row) { return NonZeroText(row.Summary.Rotation); },
     [](const FileRow& row) { return std::optional(static_cast<double>(row.Summary.Rotation)); },
     false},
    {"Display size", "Display size", ColumnSource::Value, ColumnAlign::ByValue, false, 0,
     [](const FileRow& row) {
         const MediaSummary& values = row.Summary;
         if (!values.Width || !values.Height) {
             return std::string();
         }
         // As a player shows the picture: turned a quarter, its sides swap.
         const bool turned = values.Rotation % 180 != 0;
         return std::to_string(turned ? *values.Height : *values.Width) + " x " +
                std::to_string(turned ? *values.Width : *values.Height);
     },
     kNoNumber, false},
    {"Audio tracks", "Audio tracks", ColumnSource::Value, ColumnAlign::ByValue, false, 0,
     [](const FileRow& row) {
         return row.Summary.Container.empty() ? std::string()
                                              : std::to_string(row.Summary.AudioTracks);
     },
     [](const FileRow& row) {
         return row.Summary.Container.empty()
                    ? std::nullopt
                    : std::optional(static_cast<double>(row.Summary.AudioTracks));
     },
     false},
    {"Audio languages", "Audio languages", ColumnSource::Value, ColumnAlign::ByValue, false, 0,
     [](const FileRow& row) { return Joined(row.Summary.AudioLanguages); }, kNoNumber, false,
     nullptr, [](const FileRow& row) { return NamesOf(row.Summary.AudioLanguages); }},
    {"Subtitle languages", "Subtitle languages", ColumnSource::Value, ColumnAlign::ByValue, false,
     0, [](const FileRow& row) { return Joined(row.Summary.SubtitleLanguages); }, kNoNumber, false,
     nullptr, [](const FileRow& row) { return NamesOf(row.Summary.SubtitleLanguages); }},
    {"Path", "Path", ColumnSource::Path, ColumnAlign::ByValue, false, 0,
     [](const FileRow& row) { return row.Path.native(); }, kNoNumber, false},
    {"Modified", "Modified", ColumnSource::Value, ColumnAlign::ByValue, false, 0,
     [](const FileRow& row) { return ModifiedText(row.ModifiedNs); },
     [](const FileRow& row) {
         return row.ModifiedNs != 0 ? std::optional(static_cast<double>(row.ModifiedNs))
                                    : std::nullopt;
     },
     false},
    {"Truncated", "Truncated", ColumnSource::Value, ColumnAlign::ByValue, false, 0,
     [](const FileRow& row) { return std::string(row.Summary.Truncated ? "yes" : ""); }, kNoNumber,
     false},
}};

std::string CsvText(const Column& column, const FileRow& row, std::string_view relativePath) {
    switch (column.Source) {
    case ColumnSource::Cell:
    case ColumnSource::Name:
        return std::string(TrimBelow33(column.Text(row)));
    case ColumnSource::Path:
        return std::string(relativePath);
    case ColumnSource::Value:
        return column.Text(row);
    case ColumnSource::Blank:
        break;
    }
    return {};
}

std::optional<std::vector<std::size_t>> ColumnsNamed(std::string_view list, std::string& unknown) {
    std::vector<std::size_t> columns;
    while (true) {
        const std::size_t comma = list.find(',');
        const std::string_view name = TrimBelow33(list.substr(0, comma));
        const auto* found =
            std::find_if(kColumns.begin(), kColumns.end(), [&](const Column& known) {
                return known.Name != nullptr && EqualsIgnoringAsciiCase(known.Name, name);
            });
        if (found == kColumns.end()) {
            unknown = name;
            return std::nullopt;
        }
        columns.push_back(static_cast<std::size_t>(found - kColumns.begin()));
        if (comma == std::string_view::npos) {
            return columns;
        }
        list.remove_prefix(comma + 1);
    }
}

std::span<const std::size_t> DefaultCsvColumns() {
    static const std::vector<std::size_t> columns = [] {
        std::vector<std::size_t> list;
        for (std::size_t index = 0; index < kColumns.size(); ++index) {
            const Column& column = kColumns[index];
            if (column.Source != ColumnSource::Blank &&
                (column.ShownAtFirst || column.Source == ColumnSource::Path)) {
                list.push_back(index);
            }
        }
        return list;
    }();
    return columns;
}

std::size_t ColumnNamed(std::string_view name) {
    const auto* found = std::find_if(kColumns.begin(), kColumns.end(), [&](const Column& column) {
        return column.Name != nullptr ? EqualsIgnoringAsciiCase(column.Name, name) : name.empty();
    });
    return static_cast<std::size_t>(found - kColumns.begin());
}

std::string ColumnNamesText() {
    std::string names;
    for (const Column& column : kColumns) {
        if (column.Name != nullptr) {
            names += (names.empty() ? "" : ",") + std::string(column.Name);
        }
    }
    return names;
}

std::string DetailsText(const FileRow& row) {
    std::string text;
    for (const Column& column : kColumns) {
        if (column.Name == nullptr) {
            continue;
        }
        const std::string value = column.Text(row);
        if (TrimBelow33(value).empty()) {
            continue;
        }
        text += column.Name;
        if (column.ItemsOnLines) {
            // The Comments: each item whole, indented, on its own line.
            text += ":\n";
            for (std::size_t from = 0; from < value.size();) {
                const std::size_t end = std::min(value.find("\r\n", from), value.size());
                if (end > from) {
                    text += "    " + value.substr(from, end - from) + "\n";
                }
                from = end + 2;
            }
            continue;
        }
        text += ": " + value;
        if (column.Described != nullptr) {
            if (const std::string words = column.Described(row); !words.empty()) {
                text += " (" + words + ")";
            }
        }
        text += "\n";
    }
    return text;
}

} // namespace vidarium
