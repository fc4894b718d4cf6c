#include "rowtotals.h"

#include "localtext.h"
#include "readertable.h"

#include <algorithm>
#include <array>
#include <map>
#include <tuple>

namespace vidarium {
namespace {

struct FieldName {
    std::string_view Name;
    TotalsField Field;
    const char* Caption;
};
constexpr std::array<FieldName, 5> kFieldNames{{
    {"container", TotalsField::Container, "Container"},
    {"codec", TotalsField::Codec, "Video codec"},
    {"resolution", TotalsField::Resolution, "Resolution"},
    {"hdr", TotalsField::Hdr, "HDR"},
    {"lang", TotalsField::Language, "Audio language"},
}};

// The values a movie counts under: one, or one per sound language.
std::vector<std::string> ValuesOf(const FileRow& row, TotalsField field) {
    const MediaSummary& values = row.Summary;
    switch (field) {
    case TotalsField::Container:
        // A classic row names no container: its reader's name does.
        return {values.Container.empty() ? std::string(RowSourceName(row.Source))
                                         : values.Container};
    case TotalsField::Codec:
        return {!values.VideoCodec.empty() ? values.VideoCodec
                : values.HasVideo          ? values.VideoCode
                                           : std::string("none")};
    case TotalsField::Resolution:
        return {ResolutionClass(row)};
    case TotalsField::Hdr:
        return {!values.Hdr.empty() ? values.Hdr
                : values.Width      ? std::string("SDR")
                                    : std::string("none")};
    case TotalsField::Language: {
        std::vector<std::string> languages = values.AudioLanguages;
        std::sort(languages.begin(), languages.end());
        languages.erase(std::unique(languages.begin(), languages.end()), languages.end());
        return languages.empty() ? std::vector<std::string>{"none"} : languages;
    }
    }
    return {"none"};
}

void Count(TotalsGroup& group, const FileRow& row) {
    ++group.Movies;
    group.Bytes += row.Size;
    group.DurationMs += std::max<std::int64_t>(row.Summary.DurationMs.value_or(0), 0);
}

} // namespace

std::optional<TotalsField> TotalsFieldNamed(std::string_view name) {
    const auto* found =
        std::find_if(kFieldNames.begin(), kFieldNames.end(),
                     [&](const auto& known) { return EqualsIgnoringAsciiCase(known.Name, name); });
    return found != kFieldNames.end() ? std::optional(found->Field) : std::nullopt;
}

std::string TotalsFieldNames() {
    std::string names;
    for (const FieldName& known : kFieldNames) {
        names += (names.empty() ? "" : ", ") + std::string(known.Name);
    }
    return names;
}

const char* TotalsFieldCaption(TotalsField field) {
    const auto* found = std::find_if(kFieldNames.begin(), kFieldNames.end(),
                                     [&](const auto& known) { return known.Field == field; });
    return found != kFieldNames.end() ? found->Caption : "";
}

std::string_view TotalsFieldKey(TotalsField field) {
    const auto* found = std::find_if(kFieldNames.begin(), kFieldNames.end(),
                                     [&](const auto& known) { return known.Field == field; });
    return found != kFieldNames.end() ? found->Name : std::string_view();
}

std::string ResolutionClass(const FileRow& row) {
    const MediaSummary& values = row.Summary;
    if (!values.Width || !values.Height || *values.Width <= 0 || *values.Height <= 0) {
        return "none";
    }
    // The class whose width or height the picture reaches, nearly.
    static constexpr std::array<std::tuple<std::int64_t, std::int64_t, const char*>, 4> kClasses{{
        {7000, 4000, "4320p"},
        {3400, 2000, "2160p"},
        {1700, 1000, "1080p"},
        {1200, 700, "720p"},
    }};
    for (const auto& [width, height, name] : kClasses) {
        if (*values.Width >= width || *values.Height >= height) {
            return name;
        }
    }
    return "SD";
}

template <typename Rows>
std::vector<TotalsGroup> TotalsOf(const Rows& rows, TotalsField field, const auto& rowOf) {
    std::map<std::string, TotalsGroup> groups;
    for (const auto& item : rows) {
        const FileRow& row = rowOf(item);
        if (row.Source == RowSource::Plain) {
            continue;
        }
        for (const std::string& value : ValuesOf(row, field)) {
            TotalsGroup& group = groups[value];
            group.Value = value;
            Count(group, row);
        }
    }
    std::vector<TotalsGroup> list;
    list.reserve(groups.size());
    for (auto& [value, group] : groups) {
        list.push_back(std::move(group));
    }
    std::stable_sort(list.begin(), list.end(), [](const TotalsGroup& a, const TotalsGroup& b) {
        return a.Movies > b.Movies;
    });
    return list;
}

std::vector<TotalsGroup> Totals(std::span<const FileRow> rows, TotalsField field) {
    return TotalsOf(rows, field, [](const FileRow& row) -> const FileRow& { return row; });
}

std::vector<TotalsGroup> Totals(std::span<const FileRow* const> rows, TotalsField field) {
    return TotalsOf(rows, field, [](const FileRow* row) -> const FileRow& { return *row; });
}

TotalsGroup Overall(std::span<const FileRow> rows) {
    TotalsGroup all;
    for (const FileRow& row : rows) {
        if (row.Source != RowSource::Plain) {
            Count(all, row);
        }
    }
    return all;
}

} // namespace vidarium
