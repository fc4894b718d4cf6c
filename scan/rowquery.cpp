#include "rowquery.h"

#include "columns.h"
#include "languages.h"
#include "localtext.h"
#include "readertable.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <optional>

namespace vidarium {
namespace {

bool Contains(std::string_view haystack, std::string_view lowerNeedle) {
    return AsciiLower(haystack).find(lowerNeedle) != std::string::npos;
}

// A codec's name or code as compared: lower-case letters and digits only,
// so that "mpeg2video" finds "MPEG-2 Video".
std::string Squeezed(std::string_view text) {
    std::string squeezed;
    for (const char c : AsciiLower(text)) {
        if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) {
            squeezed += c;
        }
    }
    return squeezed;
}

// The names collectors and encoders give a codec, as the rows name it.
std::string CodecAlias(const std::string& squeezed) {
    static constexpr std::array<std::pair<std::string_view, std::string_view>, 6> kAliases{{
        {"h264", "avc"},
        {"x264", "avc"},
        {"h265", "hevc"},
        {"x265", "hevc"},
        {"mpeg2", "mpeg2video"},
        {"mpeg1", "mpeg1video"},
    }};
    const auto* found = std::find_if(kAliases.begin(), kAliases.end(),
                                     [&](const auto& alias) { return alias.first == squeezed; });
    return found != kAliases.end() ? std::string(found->second) : squeezed;
}

enum class Kind {
    Text,     // the value appears in one of the texts
    Exact,    // the value is one of the texts
    Codec,    // a codec's name or code, as Squeezed
    Language, // a code in any form, or an English name
    Folder,   // one of the folders above the file
    Number,
    Size,   // bytes: 4G, 700M (binary multiples, as the list's MB)
    Rate,   // per second: 800k, 5M, 48k (decimal multiples)
    Length, // h:mm:ss, m:ss, or with a unit: 90m, 2h, 45s
};

using Texts = std::vector<std::string> (*)(const FileRow& row);
using Value = std::optional<double> (*)(const FileRow& row);

struct Field {
    std::array<std::string_view, 4> Names; // its own, then aliases
    Kind What;
    Texts TextsOf = nullptr;
    Value ValueOf = nullptr;
};

template <typename Number> std::optional<double> Stated(const std::optional<Number>& value) {
    return value ? std::optional(static_cast<double>(*value)) : std::nullopt;
}
std::optional<double> Positive(double value) {
    return value > 0 ? std::optional(value) : std::nullopt;
}

const std::array<Field, 22> kFields{{
    {{"name", "file", "filename"},
     Kind::Text,
     [](const FileRow& row) { return std::vector{FileNameOf(row)}; }},
    {{"ext", "extension"},
     Kind::Exact,
     [](const FileRow& row) {
         std::string extension = std::filesystem::path(FileNameOf(row)).extension().native();
         return std::vector{extension.empty() ? extension : extension.substr(1)};
     }},
    {{"path", "folder", "dir"},
     Kind::Text,
     [](const FileRow& row) { return std::vector{row.Path.native()}; }},
    {{"drive", "volume", "disk"}, Kind::Folder},
    {{"container", "format"},
     Kind::Text,
     [](const FileRow& row) {
         return std::vector{row.Summary.Container, std::string(RowSourceName(row.Source))};
     }},
    {{"codec", "vcodec", "video"},
     Kind::Codec,
     [](const FileRow& row) {
         return std::vector{row.Summary.VideoCodec, row.Summary.VideoCode,
                            row.SubItems.size() > 2 ? row.SubItems[2] : std::string()};
     }},
    {{"acodec", "audio"},
     Kind::Codec,
     [](const FileRow& row) {
         return std::vector{row.Summary.AudioCodec, row.Summary.AudioCode,
                            row.SubItems.size() > 7 ? row.SubItems[7] : std::string()};
     }},
    {{"lang", "language", "alang"},
     Kind::Language,
     [](const FileRow& row) { return row.Summary.AudioLanguages; }},
    {{"sub", "sublang", "slang", "subtitles"},
     Kind::Language,
     [](const FileRow& row) { return row.Summary.SubtitleLanguages; }},
    {{"hdr"}, Kind::Text, [](const FileRow& row) { return std::vector{row.Summary.Hdr}; }},
    {{"profile"},
     Kind::Text,
     [](const FileRow& row) { return std::vector{row.Summary.VideoProfile}; }},
    {{"comment", "comments", "tag", "title"},
     Kind::Text,
     [](const FileRow& row) {
         std::vector<std::string> texts{row.SubItems.size() > 11 ? row.SubItems[11] : ""};
         for (const MetadataItem& item : row.Summary.Metadata) {
             texts.push_back(item.Text);
         }
         return texts;
     }},
    {{"width", "w"},
     Kind::Number,
     nullptr,
     [](const FileRow& row) { return Stated(row.Summary.Width); }},
    {{"height", "h"},
     Kind::Number,
     nullptr,
     [](const FileRow& row) { return Stated(row.Summary.Height); }},
    {{"fps", "framerate"},
     Kind::Number,
     nullptr,
     [](const FileRow& row) { return Stated(row.Summary.FrameRate); }},
    {{"size"},
     Kind::Size,
     nullptr,
     [](const FileRow& row) { return std::optional(static_cast<double>(row.Size)); }},
    {{"length", "duration", "len", "time"},
     Kind::Length,
     nullptr,
     [](const FileRow& row) { return Stated(row.Summary.DurationMs); }},
    {{"bitrate", "vbitrate", "vbr"},
     Kind::Rate,
     nullptr,
     [](const FileRow& row) { return Stated(row.Summary.VideoBitRate); }},
    {{"abitrate", "abr"},
     Kind::Rate,
     nullptr,
     [](const FileRow& row) { return Stated(row.Summary.AudioBitRate); }},
    {{"freq", "samplerate", "hz"},
     Kind::Rate,
     nullptr,
     [](const FileRow& row) { return Stated(row.Summary.SampleRate); }},
    {{"channels", "chn", "ch"},
     Kind::Number,
     nullptr,
     [](const FileRow& row) { return Stated(row.Summary.Channels); }},
    {{"depth", "bitdepth", "bits"},
     Kind::Number,
     nullptr,
     [](const FileRow& row) { return Positive(row.Summary.BitDepth); }},
}};

// Words that stand alone for a term: the rows with any HDR, those cut short.
struct Flag {
    std::string_view Name;
    bool (*Holds)(const FileRow& row);
};
constexpr std::array<Flag, 2> kFlags{{
    {"hdr", [](const FileRow& row) { return !row.Summary.Hdr.empty(); }},
    {"truncated", [](const FileRow& row) { return row.Summary.Truncated; }},
}};
// Flags sit after the fields in a term's field number.
constexpr std::size_t kFirstFlag = kFields.size();

bool IsNumeric(Kind kind) {
    return kind == Kind::Number || kind == Kind::Size || kind == Kind::Rate || kind == Kind::Length;
}

std::optional<double> PlainNumber(std::string_view text) {
    double value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || !std::isfinite(value)) {
        return std::nullopt;
    }
    return value;
}

// A number and its multiple's letter ("4G", "800k"); `step` 1024 or 1000.
std::optional<double> WithMultiple(std::string value, double step) {
    static constexpr std::string_view kLetters = "kmgt";
    if (value.ends_with("ib")) {
        value.resize(value.size() - 2); // "GiB"
    } else if (value.size() > 1 && value.back() == 'b' && step == 1024) {
        value.pop_back(); // "GB", "MB"
    }
    double factor = 1;
    if (!value.empty()) {
        if (const std::size_t letter = kLetters.find(value.back()); letter != std::string::npos) {
            factor = std::pow(step, static_cast<double>(letter + 1));
            value.pop_back();
        }
    }
    const auto number = PlainNumber(value);
    return number ? std::optional(*number * factor) : std::nullopt;
}

// Milliseconds from "1:30:00", "45:00", "90m", "2h", "45s".
std::optional<double> LengthMs(const std::string& value) {
    if (value.find(':') != std::string::npos) {
        double total = 0;
        std::size_t parts = 0;
        for (std::size_t from = 0; from <= value.size(); ++parts) {
            const std::size_t colon = std::min(value.find(':', from), value.size());
            const auto part = PlainNumber(std::string_view(value).substr(from, colon - from));
            if (!part || *part < 0 || (parts > 0 && *part >= 60)) {
                return std::nullopt;
            }
            total = total * 60 + *part;
            from = colon + 1;
        }
        return parts <= 3 ? std::optional(total * 1000) : std::nullopt;
    }
    static constexpr std::array<std::pair<char, double>, 3> kUnits{
        {{'s', 1000}, {'m', 60'000}, {'h', 3'600'000}}};
    for (const auto& [unit, ms] : kUnits) {
        if (value.size() > 1 && value.back() == unit) {
            const auto number = PlainNumber(std::string_view(value).substr(0, value.size() - 1));
            return number ? std::optional(*number * ms) : std::nullopt;
        }
    }
    return std::nullopt;
}

std::optional<double> NumberOf(Kind kind, const std::string& value) {
    switch (kind) {
    case Kind::Size:
        return WithMultiple(value, 1024);
    case Kind::Rate:
        return WithMultiple(value, 1000);
    case Kind::Length:
        return LengthMs(value);
    default:
        return PlainNumber(value);
    }
}

const char* NumberShape(Kind kind) {
    switch (kind) {
    case Kind::Size:
        return "a size (700M, 4G)";
    case Kind::Rate:
        return "a rate (800k, 5M)";
    case Kind::Length:
        return "a length (1:30:00, 90m, 2h)";
    default:
        return "a number";
    }
}

bool LanguageMatches(const std::string& code, const std::string& value) {
    if (const std::string asked = LanguageCode(value); asked != "und" || value == "und") {
        if (asked == code) {
            return true;
        }
    }
    // By English name: "german", or one of "spanish; castilian".
    const std::string name = AsciiLower(LanguageNameOf(code));
    for (std::size_t from = 0; from < name.size();) {
        const std::size_t end = std::min(name.find(';', from), name.size());
        if (TrimBelow33(std::string_view(name).substr(from, end - from)) == value) {
            return true;
        }
        from = end + 1;
    }
    return false;
}

bool FolderMatches(const FileRow& row, const std::string& value) {
    const std::filesystem::path folder = row.Path.parent_path();
    return std::any_of(folder.begin(), folder.end(), [&](const std::filesystem::path& part) {
        return AsciiLower(part.native()) == value;
    });
}

bool TextMatches(const Field& field, const FileRow& row, const std::string& value) {
    switch (field.What) {
    case Kind::Folder:
        return FolderMatches(row, value);
    case Kind::Language: {
        const auto codes = field.TextsOf(row);
        return std::any_of(codes.begin(), codes.end(),
                           [&](const std::string& code) { return LanguageMatches(code, value); });
    }
    case Kind::Codec: {
        const std::string asked = CodecAlias(Squeezed(value));
        const auto texts = field.TextsOf(row);
        return !asked.empty() && std::any_of(texts.begin(), texts.end(), [&](const auto& text) {
            return Squeezed(text).find(asked) != std::string::npos;
        });
    }
    case Kind::Exact: {
        const auto texts = field.TextsOf(row);
        return std::any_of(texts.begin(), texts.end(),
                           [&](const std::string& text) { return AsciiLower(text) == value; });
    }
    default: {
        const auto texts = field.TextsOf(row);
        return std::any_of(texts.begin(), texts.end(),
                           [&](const std::string& text) { return Contains(text, value); });
    }
    }
}

bool Holds(const RowQuery::Term& term, const FileRow& row) {
    if (term.Field >= kFirstFlag) {
        return kFlags[term.Field - kFirstFlag].Holds(row);
    }
    const Field& field = kFields[term.Field];
    if (!IsNumeric(field.What)) {
        return TextMatches(field, row, term.Text);
    }
    const std::optional<double> value = field.ValueOf(row);
    if (!value) {
        return false;
    }
    using C = RowQuery::Compare;
    switch (term.How) {
    case C::Is:
        return std::abs(*value - term.Number) <= std::max(0.005, std::abs(term.Number) * 1e-9);
    case C::Less:
        return *value < term.Number;
    case C::LessOrEqual:
        return *value <= term.Number;
    case C::Greater:
        return *value > term.Number;
    case C::GreaterOrEqual:
        return *value >= term.Number;
    }
    return false;
}

// A search text's terms: split at spaces outside double quotes.
std::vector<std::string> SplitTerms(std::string_view text) {
    std::vector<std::string> terms;
    std::string term;
    bool quoted = false;
    for (const char c : text) {
        if (c == '"') {
            quoted = !quoted;
            term += c;
        } else if ((c == ' ' || c == '\t') && !quoted) {
            if (!term.empty()) {
                terms.push_back(std::move(term));
                term.clear();
            }
        } else {
            term += c;
        }
    }
    if (!term.empty()) {
        terms.push_back(std::move(term));
    }
    return terms;
}

std::string Unquoted(std::string_view text) {
    std::string plain;
    std::copy_if(text.begin(), text.end(), std::back_inserter(plain),
                 [](char c) { return c != '"'; });
    return plain;
}

std::optional<std::size_t> FieldNamed(std::string_view name) {
    for (std::size_t index = 0; index < kFields.size(); ++index) {
        const auto& names = kFields[index].Names;
        if (std::find(names.begin(), names.end(), name) != names.end() && !name.empty()) {
            return index;
        }
    }
    return std::nullopt;
}

// The comparison at the start of `text` and its length.
std::pair<RowQuery::Compare, std::size_t> ComparisonAt(std::string_view text) {
    using C = RowQuery::Compare;
    if (text.starts_with("<=")) {
        return {C::LessOrEqual, 2};
    }
    if (text.starts_with(">=")) {
        return {C::GreaterOrEqual, 2};
    }
    if (text.starts_with("==")) {
        return {C::Is, 2};
    }
    switch (text.front()) {
    case '<':
        return {C::Less, 1};
    case '>':
        return {C::Greater, 1};
    default:
        return {C::Is, 1}; // ':' or '='
    }
}

} // namespace

RowQuery RowQuery::Parse(std::string_view text) {
    RowQuery query;
    for (const std::string& typed : SplitTerms(text)) {
        query.Add(typed);
    }
    return query;
}

void RowQuery::Add(const std::string& typed) {
    std::string_view term = typed;
    const bool excluded = term.size() > 1 && term.front() == '-';
    if (excluded) {
        term.remove_prefix(1);
    }
    const std::size_t operation =
        term.front() == '"' ? std::string_view::npos : term.find_first_of(":<>=");
    const std::string name = AsciiLower(term.substr(0, std::min(operation, term.size())));
    const bool named =
        operation != std::string_view::npos && operation > 0 &&
        std::all_of(name.begin(), name.end(), [](char c) { return c >= 'a' && c <= 'z'; });
    if (named) {
        AddFieldTerm(typed, name, term.substr(operation), excluded);
        return;
    }
    // A flag's name alone, else a word ("12:00" and "<3" are words too).
    const auto* flag = std::find_if(kFlags.begin(), kFlags.end(),
                                    [&](const Flag& known) { return known.Name == name; });
    if (operation == std::string_view::npos && flag != kFlags.end()) {
        terms_.push_back({kFirstFlag + static_cast<std::size_t>(flag - kFlags.begin()),
                          Compare::Is,
                          {},
                          0,
                          excluded});
    } else if (std::string word = AsciiLower(Unquoted(term)); !word.empty()) {
        (excluded ? excludedWords_ : words_).push_back(std::move(word));
    }
}

void RowQuery::AddFieldTerm(const std::string& typed, const std::string& name,
                            std::string_view comparison, bool excluded) {
    const std::optional<std::size_t> field = FieldNamed(name);
    if (!field) {
        problems_.push_back({typed, "no field '" + name + "'"});
        return;
    }
    const auto [how, length] = ComparisonAt(comparison);
    const std::string value = AsciiLower(Unquoted(comparison.substr(length)));
    const Kind kind = kFields[*field].What;
    if (value.empty()) {
        problems_.push_back({typed, "'" + name + "' needs a value"});
    } else if (!IsNumeric(kind) && how != Compare::Is) {
        problems_.push_back({typed, "'" + name + "' is text: compare with ':'"});
    } else if (!IsNumeric(kind)) {
        terms_.push_back({*field, how, value, 0, excluded});
    } else if (const auto number = NumberOf(kind, value)) {
        terms_.push_back({*field, how, {}, *number, excluded});
    } else {
        std::string reason = "'" + value + "' is not ";
        reason += NumberShape(kind);
        reason += " for '" + name + "'";
        problems_.push_back({typed, std::move(reason)});
    }
}

bool RowQuery::MatchesFields(const FileRow& row) const {
    return std::all_of(terms_.begin(), terms_.end(),
                       [&](const Term& term) { return Holds(term, row) != term.Excluded; });
}

bool RowQuery::Matches(const FileRow& row, std::string_view cells) const {
    const std::string lower = AsciiLower(cells);
    const auto found = [&](const std::string& word) {
        return lower.find(word) != std::string::npos;
    };
    return std::all_of(words_.begin(), words_.end(), found) &&
           std::none_of(excludedWords_.begin(), excludedWords_.end(), found) && MatchesFields(row);
}

std::string RowQuery::SearchText(const FileRow& row) {
    std::string text;
    for (const Column& column : kColumns) {
        if (!column.ShownAtFirst || column.Source == ColumnSource::Blank) {
            continue;
        }
        text += column.Source == ColumnSource::Name ? FileNameOf(row) : column.Text(row);
        if (column.Described != nullptr) {
            text += '\t' + column.Described(row);
        }
        text += '\t';
    }
    return text;
}

std::string RowQuery::FieldNamesText() {
    std::string text;
    for (const Field& field : kFields) {
        text += text.empty() ? "" : ", ";
        text += field.Names[0];
        std::string aliases;
        for (std::size_t i = 1; i < field.Names.size() && !field.Names[i].empty(); ++i) {
            aliases += (aliases.empty() ? "" : ", ") + std::string(field.Names[i]);
        }
        text += aliases.empty() ? "" : " (" + aliases + ")";
    }
    text += "; alone";
    for (const Flag& flag : kFlags) {
        text += (&flag == kFlags.data() ? ": " : ", ") + std::string(flag.Name);
    }
    return text;
}

} // namespace vidarium
