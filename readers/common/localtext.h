// Text as the readers and the rows hold it: names in the character set of
// the user's locale, the checks and repairs of UTF-8, and the decoding of a
// file's Latin-1 and UTF-16 texts. Only the character set is taken from the
// locale; numbers are never formatted through it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>

namespace vidarium {

// A native path (or file name) as locale text. Under a UTF-8 locale valid
// UTF-8 passes unchanged and every byte outside a valid sequence becomes '?';
// under another character set each character it cannot decode becomes '?'.
std::string PathToLocaleText(const std::filesystem::path& path);
std::string NativeBytesToLocaleText(std::string_view bytes);

// Removes every byte below 33 (controls and blanks) from both ends.
std::string_view TrimBelow33(std::string_view text);

// True when the locale's character set is UTF-8 (checked once per call).
bool LocaleIsUtf8();

// True when every byte of `text` belongs to a valid UTF-8 sequence.
bool IsValidUtf8(std::string_view text);

// Length of the valid UTF-8 sequence starting at text[0], or 0 when the bytes
// there do not start one (overlong forms, surrogates and values past U+10FFFF
// are invalid).
std::size_t ValidUtf8SequenceLength(std::string_view text);

// Each byte as its Latin-1 character, in UTF-8.
std::string Latin1ToUtf8(std::string_view bytes);
// UTF-8 sequences as they are, each byte between them as its Latin-1
// character: a QuickTime label's 0xA9 becomes the copyright sign while the
// UTF-8 text beside it stays, and a file name of another system's bytes
// still reads.
std::string RunsToUtf8(std::string_view bytes);

// True when the two are equal but for the case of ASCII letters: the names
// and keys that formats define (".wmv", "TITLE", "WM/Year").
bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b);
// The text with its ASCII letters in lower case, other bytes as they are.
std::string AsciiLower(std::string_view text);

// UTF-16 as UTF-8: big-endian, or little-endian when `littleEndian`,
// unless a byte order mark says otherwise; up to the first null.
std::string Utf16ToUtf8(std::span<const std::uint8_t> bytes, bool littleEndian = false);

// A text from a file as a cell may hold it: every control byte (below 32,
// and 127) a blank, so that no text of a file can break a line or a field
// of an export. A line of the classic Comments cell keeps its line breaks,
// which that cell shows as lines.
enum class Breaks { Blanked, Kept };
std::string WithoutControls(std::string text, Breaks breaks = Breaks::Blanked);
// A text for one line of the Comments cell: without controls, blanks
// trimmed from both ends.
std::string CleanText(std::string text);

} // namespace vidarium
