// One code per language: the ISO 639-2/T three-letter code ("deu") for the
// ISO 639-1, 639-2/B and BCP 47 forms that files carry ("de", "ger",
// "de-DE"), with the language's English name. The table is made at build
// time from the iso-codes package.
#pragma once

#include <string>
#include <string_view>

namespace vidarium {

// The language's three-letter code; "und" for a tag that names none.
std::string LanguageCode(std::string_view tag);
// The English name of a three-letter code; empty when it has none ("und").
std::string_view LanguageNameOf(std::string_view code);

} // namespace vidarium
