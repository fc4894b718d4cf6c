#include "languages.h"

#include <algorithm>
#include <iterator>

namespace vidarium {
namespace {

struct LanguageName {
    std::string_view Code;
    std::string_view Name;
};
struct LanguageAlias {
    std::string_view Alias;
    std::string_view Code;
};

#include "languagetable.inc"

// Entries of a table sorted by its key, as the table is made.
template <typename Entry, std::size_t n, typename Key>
const Entry* Find(const Entry (&table)[n], std::string_view key, Key keyOf) {
    const Entry* found = std::lower_bound(
        std::begin(table), std::end(table), key,
        [&](const Entry& entry, std::string_view wanted) { return keyOf(entry) < wanted; });
    return found != std::end(table) && keyOf(*found) == key ? found : nullptr;
}

} // namespace

std::string LanguageCode(std::string_view tag) {
    // A BCP 47 tag's primary subtag ("de" of "de-DE"), in lower case.
    tag = tag.substr(0, tag.find_first_of("-_"));
    std::string primary;
    for (const char c : tag) {
        if (c >= 'A' && c <= 'Z') {
            primary += static_cast<char>(c - 'A' + 'a');
        } else if (c >= 'a' && c <= 'z') {
            primary += c;
        } else {
            return "und";
        }
    }
    if (const auto* alias = Find(kLanguageAliases, primary,
                                 [](const LanguageAlias& entry) { return entry.Alias; })) {
        return std::string(alias->Code);
    }
    if (primary.size() == 3 &&
        Find(kLanguageNames, primary, [](const LanguageName& entry) { return entry.Code; })) {
        return primary;
    }
    return "und";
}

std::string_view LanguageNameOf(std::string_view code) {
    if (code == "und") {
        return {};
    }
    const auto* entry =
        Find(kLanguageNames, code, [](const LanguageName& language) { return language.Code; });
    return entry != nullptr ? entry->Name : std::string_view();
}

} // namespace vidarium
