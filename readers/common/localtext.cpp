#include "localtext.h"

#include "byteorder.h"

#include <algorithm>
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

std::string Utf16ToUtf8(std::span<const std::uint8_t> bytes, bool littleEndian) {
    bool little = littleEndian;
    std::size_t at = 0;
    if (bytes.size() >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE) {
        little = true;
        at = 2;
    } else if (bytes.size() >= 2 && bytes[0] == 0xFE && bytes[1] == 0xFF) {
        little = false;
        at = 2;
    }
    std::string text;
    const auto unit = [&](std::size_t i) {
        return little ? LoadLe16(bytes, i) : LoadBe16(bytes, i);
    };
    for (; at + 1 < bytes.size(); at += 2) {
        std::uint32_t code = unit(at);
        if (code == 0) {
            break;
        }
        if (code >= 0xD800 && code < 0xDC00 && at + 3 < bytes.size()) {
            const std::uint32_t low = unit(at + 2);
            if (low >= 0xDC00 && low < 0xE000) {
                code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
                at += 2;
            }
        }
        if (code >= 0xD800 && code < 0xE000) {
            code = 0xFFFD;
        }
        if (code < 0x80) {
            text += static_cast<char>(code);
        } else if (code < 0x800) {
            text += static_cast<char>(0xC0 | (code >> 6));
            text += static_cast<char>(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            text += static_cast<char>(0xE0 | (code >> 12));
            text += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            text += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            text += static_cast<char>(0xF0 | (code >> 18));
            text += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
            text += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            text += static_cast<char>(0x80 | (code & 0x3F));
        }
    }
    return text;
}

std::string WithoutControls(std::string text, Breaks breaks) {
    std::replace_if(
        text.begin(), text.end(),
        [breaks](char c) {
            if (breaks == Breaks::Kept && (c == '\r' || c == '\n')) {
                return false;
            }
            return static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
        },
        ' ');
    return text;
}

std::string CleanText(std::string text) {
    text = WithoutControls(std::move(text));
    const auto first = text.find_first_not_of(' ');
    if (first == std::string::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

namespace {
char LowerAscii(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}
} // namespace

bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return LowerAscii(x) == LowerAscii(y);
           });
}

std::string AsciiLower(std::string_view text) {
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(), LowerAscii);
    return lower;
}

std::string Latin1ToUtf8(std::string_view bytes) {
    std::string text;
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x80) {
            text += c;
        } else {
            text += static_cast<char>(0xC0 | (byte >> 6));
            text += static_cast<char>(0x80 | (byte & 0x3F));
        }
    }
    return text;
}

std::string RunsToUtf8(std::string_view bytes) {
    std::string text;
    while (!bytes.empty()) {
        std::size_t length = ValidUtf8SequenceLength(bytes);
        if (length == 0) {
            text += Latin1ToUtf8(bytes.substr(0, 1));
            length = 1;
        } else {
            text += bytes.substr(0, length);
        }
        bytes.remove_prefix(length);
    }
    return text;
}

} // namespace vidarium
