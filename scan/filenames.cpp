#include "filenames.h"

#include <array>
#include <climits>
#include <cwchar>
#include <cwctype>

namespace vidarium {

std::string ExtensionOf(std::string_view bareName) {
    const std::size_t last = bareName.find_last_of(".\\:");
    if (last == std::string_view::npos || bareName[last] != '.') {
        return {};
    }
    return std::string(bareName.substr(last));
}

std::string LowerCaseExtension(std::string_view extension) {
    std::string lower;
    std::mbstate_t state{};
    while (!extension.empty()) {
        wchar_t character = 0;
        const std::size_t length =
            std::mbrtowc(&character, extension.data(), extension.size(), &state);
        if (length == 0 || length == static_cast<std::size_t>(-1) ||
            length == static_cast<std::size_t>(-2)) {
            state = std::mbstate_t{};
            lower += extension.front();
            extension.remove_prefix(1);
            continue;
        }
        const auto lowered = static_cast<wchar_t>(std::towlower(static_cast<wint_t>(character)));
        std::array<char, MB_LEN_MAX> encoded{};
        std::mbstate_t outState{};
        const std::size_t written = std::wcrtomb(encoded.data(), lowered, &outState);
        if (written == static_cast<std::size_t>(-1)) {
            lower.append(extension.substr(0, length));
        } else {
            lower.append(encoded.data(), written);
        }
        extension.remove_prefix(length);
    }
    return lower;
}

} // namespace vidarium
