// A file name's extension, as the walk and the window's export take it,
// and the separator of the paths the walk makes.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace vidarium {

inline constexpr char kSeparator = static_cast<char>(std::filesystem::path::preferred_separator);
// A folder as the walk names it ends with the separator.
inline bool EndsWithSeparator(std::string_view path) {
    return !path.empty() && path.back() == kSeparator;
}

// The text from the last '.', when the last of '.', '\' and ':' in the bare
// name is a '.'; otherwise empty.
std::string ExtensionOf(std::string_view bareName);
// Unicode lower-casing of an extension in the locale's character set; bytes
// that do not decode are kept as they are.
std::string LowerCaseExtension(std::string_view extension);

} // namespace vidarium
