// The user-data texts of a QuickTime movie: each text item of a "udta" atom
// becomes one line of the Comments cell, under its label ("Full Name",
// "Copyright", ...).
#include "localtext.h"
#include "movreader.h"

#include <algorithm>
#include <cstring>

namespace vidarium {

std::string CQuickTimeReader::UserDataLabel(const FourCC& type) {
    struct Row {
        const char* code; // the three letters after 0xA9
        const char* label;
    };
    static constexpr Row kRows[] = {
        {"nam", "Full Name"},
        {"cpy", "Copyright"},
        {"day", "Date"},
        {"dir", "Director"},
        {"ed", "Edit"},
        {"fmt", "Format"},
        {"inf", "Information"},
        {"prd", "Producer"},
        {"prf", "Perfomers"},
        {"req", "Requirements"},
        {"src", "Original Source"},
        {"wrt", "Writer"},
        {"swr", "Software"},
        {"mod", "Model"},
        {"aut", "Author"},
    };
    if (type[0] == 0xA9) {
        for (const Row& row : kRows) {
            // "Edit" matches 0xA9 "ed" with any fourth byte.
            const std::size_t length = std::strlen(row.code);
            if (std::memcmp(type.data() + 1, row.code, length) == 0) {
                return row.label;
            }
        }
    }
    const auto* text = reinterpret_cast<const char*>(type.data());
    return std::string(text, strnlen(text, 4));
}

void CQuickTimeReader::AppendUserDataItem(const AtomNode& node) {
    // A text item is a 16-bit length and a 16-bit language, then the text
    // (and perhaps more records: other languages of it, not shown). Without
    // such a prefix the whole payload is the text. Bytes the file lacks
    // count as zeros: they would become blanks at the end, which the trim
    // removes, so only the bytes held are taken.
    const std::span<const std::uint8_t> held = node.Payload();
    std::size_t first = 0;
    std::size_t last = held.size();
    if (node.Size >= 4) {
        const std::size_t length = LoadBe16(held, 0);
        if (4 + length <= node.Size) {
            first = std::min<std::size_t>(4, held.size());
            last = std::min(4 + length, held.size());
        }
    }
    std::string text(held.begin() + static_cast<std::ptrdiff_t>(first),
                     held.begin() + static_cast<std::ptrdiff_t>(last));
    std::replace(text.begin(), text.end(), '\0', ' ');
    UserData.push_back({UserDataLabel(node.AtomType), std::string(TrimBelow33(text))});
}

} // namespace vidarium
