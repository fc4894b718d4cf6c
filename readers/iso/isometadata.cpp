// The metadata of an ISO movie: QuickTime texts, 3GPP asset boxes, item
// lists and their keys, each under a label of the fixed table.
#include "isoload.h"
#include "localtext.h"

namespace vidarium::iso {

namespace {

// The label of an item's code, for QuickTime texts and item lists alike:
// the codes that start with 0xA9 by their three letters, and a few others.
const char* ItemLabel(const FourCC& code) {
    struct Row {
        char letters[5];
        const char* label;
    };
    static constexpr Row kCopyrightSign[] = {
        {"nam", "Title"},   {"ART", "Artist"},      {"alb", "Album"},    {"day", "Date"},
        {"cmt", "Comment"}, {"des", "Description"}, {"gen", "Genre"},    {"cpy", "Copyright"},
        {"mak", "Make"},    {"mod", "Model"},       {"xyz", "Location"}, {"swr", "Software"}};
    static constexpr Row kPlain[] = {{"desc", "Description"}, {"cprt", "Copyright"}};
    if (code[0] == 0xA9) {
        for (const Row& row : kCopyrightSign) {
            if (std::memcmp(code.data() + 1, row.letters, 3) == 0) {
                return row.label;
            }
        }
        return nullptr;
    }
    for (const Row& row : kPlain) {
        if (IsFourCC(code, row.letters)) {
            return row.label;
        }
    }
    return nullptr;
}

// A 3GPP asset string: UTF-16 when it starts with a byte order mark, else
// UTF-8; ends at its first zero.
std::string AssetText(ByteSpan bytes) {
    if (bytes.size() >= 2 &&
        ((bytes[0] == 0xFE && bytes[1] == 0xFF) || (bytes[0] == 0xFF && bytes[1] == 0xFE))) {
        return Utf16ToUtf8(bytes);
    }
    const auto end = std::find(bytes.begin(), bytes.end(), std::uint8_t{0});
    return std::string(bytes.begin(), end);
}

} // namespace

void IsoLoad::ReadUserData(ByteSpan udta) {
    // QuickTime texts, 3GPP assets, and an item list.
    parser_.ForEachBox(udta, [&](const Box& item) {
        const ByteSpan p = item.Payload;
        if (IsFourCC(item.Type, "meta")) {
            ReadItemList(p);
            return;
        }
        // A QuickTime text: length, language, then the text.
        if (const char* label = ItemLabel(item.Type); label != nullptr && item.Type[0] == 0xA9) {
            const std::size_t length = LoadBe16(p, 0);
            if (p.size() >= 4 && 4 + length <= p.size()) {
                AddItem(label, std::string(p.begin() + 4,
                                           p.begin() + static_cast<std::ptrdiff_t>(4 + length)));
            }
            return;
        }
        struct Text {
            char code[5];
            const char* label;
        };
        static constexpr Text kAssets[] = {
            {"titl", "Title"},       {"auth", "Artist"}, {"perf", "Artist"},   {"albm", "Album"},
            {"dscp", "Description"}, {"gnre", "Genre"},  {"cprt", "Copyright"}};
        for (const Text& text : kAssets) {
            if (IsFourCC(item.Type, text.code) && p.size() > 6) {
                AddItem(text.label, AssetText(p.subspan(6)));
                return;
            }
        }
        if (IsFourCC(item.Type, "yrrc") && p.size() >= 6) {
            AddItem("Date", std::to_string(LoadBe16(p, 4)));
        } else if (IsFourCC(item.Type, "loci") && p.size() > 6) {
            const ByteSpan rest = p.subspan(6);
            const auto nameEnd = std::find(rest.begin(), rest.end(), std::uint8_t{0});
            const auto at = static_cast<std::size_t>(nameEnd - rest.begin()) + 2;
            if (at + 8 <= rest.size()) {
                // Longitude, then latitude, in 16.16 degrees.
                const double longitude = static_cast<std::int32_t>(LoadBe32(rest, at)) / 65536.0;
                const double latitude = static_cast<std::int32_t>(LoadBe32(rest, at + 4)) / 65536.0;
                char location[48];
                std::snprintf(location, sizeof location, "%+08.4f%+09.4f/", latitude, longitude);
                AddItem("Location", location);
            }
        }
    });
}

namespace {

// The names of a QuickTime key list, in order.
std::vector<std::string> ReadKeys(ByteSpan keys) {
    std::vector<std::string> names;
    std::size_t at = 8;
    const std::uint32_t count = LoadBe32(keys, 4);
    while (names.size() < count && at + 8 <= keys.size()) {
        const std::size_t size = LoadBe32(keys, at);
        if (size < 8 || size > keys.size() - at) {
            break;
        }
        names.emplace_back(keys.begin() + static_cast<std::ptrdiff_t>(at + 8),
                           keys.begin() + static_cast<std::ptrdiff_t>(at + size));
        at += size;
    }
    return names;
}

// The label of a QuickTime key, or nullptr for one the Comments leave out.
const char* KeyLabel(std::string_view name) {
    struct Key {
        std::string_view name;
        const char* label;
    };
    static constexpr Key kKeys[] = {{"com.apple.quicktime.title", "Title"},
                                    {"com.apple.quicktime.artist", "Artist"},
                                    {"com.apple.quicktime.album", "Album"},
                                    {"com.apple.quicktime.creationdate", "Date"},
                                    {"com.apple.quicktime.comment", "Comment"},
                                    {"com.apple.quicktime.description", "Description"},
                                    {"com.apple.quicktime.genre", "Genre"},
                                    {"com.apple.quicktime.copyright", "Copyright"},
                                    {"com.apple.quicktime.make", "Make"},
                                    {"com.apple.quicktime.model", "Model"},
                                    {"com.apple.quicktime.location.ISO6709", "Location"},
                                    {"com.apple.quicktime.software", "Software"}};
    for (const Key& key : kKeys) {
        if (key.name == name) {
            return key.label;
        }
    }
    return nullptr;
}

// A data box's text: UTF-8 or UTF-16; nothing for other kinds.
std::optional<std::string> DataText(ByteSpan data) {
    const std::uint32_t kind = LoadBe32(data, 0) & 0xFFFFFFU;
    const ByteSpan value = BytesFrom(data, 8);
    if (kind == 1) {
        return std::string(value.begin(), value.end());
    }
    if (kind == 2) {
        return Utf16ToUtf8(value);
    }
    return std::nullopt;
}

} // namespace

void IsoLoad::ReadItem(const Box& item, const std::vector<std::string>& keys) {
    const auto data = parser_.Find(item.Payload, "data");
    if (!data) {
        return;
    }
    const std::optional<std::string> text = DataText(data->Payload);
    if (!text) {
        return;
    }
    // Items of a key list are named by their one-based index.
    const std::uint32_t index = LoadBe32(item.Type);
    if (!keys.empty() && index >= 1 && index <= keys.size()) {
        if (const char* label = KeyLabel(keys[index - 1])) {
            AddItem(label, *text);
        }
        return;
    }
    if (const char* label = ItemLabel(item.Type)) {
        AddItem(label, *text);
    }
}

void IsoLoad::ReadItemList(ByteSpan meta) {
    // A "meta" box is a full box in ISO files, a plain one in QuickTime
    // movies: its first child tells which.
    ByteSpan children = meta;
    if (meta.size() >= 8 && !IsOneOf(LoadFourCC(meta, 4), {"hdlr", "keys", "ilst"})) {
        children = meta.subspan(4);
    }
    std::vector<std::string> keys;
    parser_.ForEachBox(children, [&](const Box& box) {
        if (IsFourCC(box.Type, "keys")) {
            keys = ReadKeys(box.Payload);
        } else if (IsFourCC(box.Type, "ilst")) {
            parser_.ForEachBox(box.Payload, [&](const Box& item) { ReadItem(item, keys); });
        }
    });
}

void IsoLoad::AddItem(const char* label, std::string text) {
    text = CleanText(std::move(text));
    // One line per label: the first item found for it.
    if (text.empty() || std::any_of(items_.begin(), items_.end(), [&](const MetadataItem& item) {
            return item.Label == label;
        })) {
        return;
    }
    items_.push_back({label, std::move(text)});
}

} // namespace vidarium::iso
