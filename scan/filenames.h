// A file name's extension, as the walk and the window's export take it.
#pragma once

#include <string>
#include <string_view>

namespace vidarium {

// The text from the last '.', when the last of '.', '\' and ':' in the bare
// name is a '.'; otherwise empty.
std::string ExtensionOf(std::string_view bareName);
// Unicode lower-casing of an extension in the locale's character set; bytes
// that do not decode are kept as they are.
std::string LowerCaseExtension(std::string_view extension);

} // namespace vidarium
