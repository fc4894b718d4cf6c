#include "localtext.h"

#include <cstring>
#include <cwchar>
#if __has_include(<langinfo.h>)
#include <langinfo.h>
#endif

namespace vidarium {

bool LocaleIsUtf8() {
#if __has_include(<langinfo.h>)
    const char* codeset = nl_langinfo(CODESET);
    return codeset != nullptr &&
           (std::strcmp(codeset, "UTF-8") == 0 || std::strcmp(codeset, "utf8") == 0);
#else
    return false;
#endif
}

bool IsValidUtf8(std::string_view text) {
    while (!text.empty()) {
        const std::size_t length = ValidUtf8SequenceLength(text);
        if (length == 0) {
            return false;
        }
        text.remove_prefix(length);
    }
    return true;
}

std::size_t ValidUtf8SequenceLength(std::string_view text) {
    if (text.empty()) {
        return 0;
    }
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(0);
    if (lead < 0x80) {
        return 1;
    }
    std::size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) {
            low = 0xA0; // overlong
        } else if (lead == 0xED) {
            high = 0x9F; // surrogates
        }
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) {
            low = 0x90; // overlong
        } else if (lead == 0xF4) {
            high = 0x8F; // beyond U+10FFFF
        }
    } else {
        return 0;
    }
    if (text.size() < length || byte(1) < low || byte(1) > high) {
        return 0;
    }
    for (std::size_t i = 2; i < length; ++i) {
        if (byte(i) < 0x80 || byte(i) > 0xBF) {
            return 0;
        }
    }
    return length;
}

std::string NativeBytesToLocaleText(std::string_view bytes) {
    std::string text;
    text.reserve(bytes.size());
    const bool utf8 = LocaleIsUtf8();
    std::mbstate_t state{};
    while (!bytes.empty()) {
        std::size_t length = 0;
        if (utf8) {
            length = ValidUtf8SequenceLength(bytes);
        } else {
            wchar_t ignored = 0;
            const std::size_t result = std::mbrtowc(&ignored, bytes.data(), bytes.size(), &state);
            if (result == 0) {
                length = 1; // an embedded zero byte
            } else if (result == static_cast<std::size_t>(-1) ||
                       result == static_cast<std::size_t>(-2)) {
                state = std::mbstate_t{};
            } else {
                length = result;
            }
        }
        if (length == 0) {
            text += '?';
            bytes.remove_prefix(1);
        } else {
            text.append(bytes.substr(0, length));
            bytes.remove_prefix(length);
        }
    }
    return text;
}

std::string PathToLocaleText(const std::filesystem::path& path) {
    // On POSIX the native form is the bytes the file system holds.
    return NativeBytesToLocaleText(path.native());
}

std::string_view TrimBelow33(std::string_view text) {
    const auto below33 = [](char c) { return static_cast<unsigned char>(c) < 33; };
    while (!text.empty() && below33(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && below33(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

} // namespace vidarium
