#include "rowcodec.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace vidarium {
namespace {

// Raised inside the decoder only: the bytes end early or say too much.
struct Truncated {};

// The form's first byte; a row of another form is read again. Raised when
// the field list below changes (a value added, moved or retyped); the golden
// test of a fully populated row fails until it is.
// 2: whether the file was cut short.
constexpr std::uint8_t kFormVersion = 2;

// What a reader's row holds at most: 12 cells, two items of each label in a
// modern row (a Matroska title and its tag's; a QuickTime row shows every
// user data item), a track's language for each track a
// modern reader describes, rates below a terabit.
constexpr std::size_t kMaxCells = 12;
constexpr std::size_t kMaxMetadataItems = 2 * std::size(kMetadataLabels);
constexpr std::size_t kMaxTracks = 4096;
constexpr std::int64_t kMaxBitRate = 1'000'000'000'000;

// Numbers seven bits a byte, low first; a signed one as its two's
// complement; a text as its length and bytes; a list as its count and items;
// a value that may be missing as a flag, then the value.
class Writer {
public:
    void Field(std::uint64_t value) {
        do {
            const auto low = static_cast<std::uint8_t>(value & 0x7F);
            value >>= 7;
            bytes_ += static_cast<char>(value != 0 ? (low | 0x80) : low);
        } while (value != 0);
    }
    void Field(std::int64_t value) { Field(std::bit_cast<std::uint64_t>(value)); }
    void Field(int value) { Field(std::int64_t{value}); }
    void Field(bool value) { Field(std::uint64_t{value ? 1U : 0U}); }
    void Field(double value) { Field(std::bit_cast<std::uint64_t>(value)); }
    void Field(RowSource source) { Field(static_cast<std::uint64_t>(source)); }
    void Field(const std::string& text) {
        Field(std::uint64_t{text.size()});
        bytes_ += text;
    }
    void Field(const MetadataItem& item) {
        Field(item.Label);
        Field(item.Text);
    }
    template <typename Value> void Field(const std::optional<Value>& value) {
        Field(value.has_value());
        if (value) {
            Field(*value);
        }
    }
    template <typename Item> void Field(const std::vector<Item>& items) {
        Field(std::uint64_t{items.size()});
        for (const Item& item : items) {
            Field(item);
        }
    }
    std::string Take() { return std::move(bytes_); }

private:
    std::string bytes_;
};

class Reader {
public:
    explicit Reader(std::string_view bytes) : bytes_(bytes) {}

    void Field(std::uint64_t& value) {
        value = 0;
        for (int shift = 0; shift < 64; shift += 7) {
            const auto byte = static_cast<std::uint8_t>(Next());
            value |= static_cast<std::uint64_t>(byte & 0x7F) << shift;
            if ((byte & 0x80) == 0) {
                return;
            }
        }
        throw Truncated{};
    }
    void Field(std::int64_t& value) { value = std::bit_cast<std::int64_t>(Number()); }
    void Field(int& value) {
        const auto wide = std::bit_cast<std::int64_t>(Number());
        if (wide < INT32_MIN || wide > INT32_MAX) {
            throw Truncated{};
        }
        value = static_cast<int>(wide);
    }
    void Field(bool& value) { value = Number() != 0; }
    void Field(double& value) { value = std::bit_cast<double>(Number()); }
    void Field(RowSource& source) {
        const std::uint64_t value = Number();
        if (value >= kRowSources) {
            throw Truncated{};
        }
        source = static_cast<RowSource>(value);
    }
    void Field(std::string& text) {
        const std::uint64_t length = Number();
        if (length > bytes_.size()) {
            throw Truncated{};
        }
        text.assign(bytes_.substr(0, length));
        bytes_.remove_prefix(length);
    }
    void Field(MetadataItem& item) {
        Field(item.Label);
        Field(item.Text);
    }
    template <typename Value> void Field(std::optional<Value>& value) {
        value.reset();
        if (Number() != 0) {
            Field(value.emplace());
        }
    }
    template <typename Item> void Field(std::vector<Item>& items) {
        // A count cannot ask for more items than the bytes left hold at their
        // smallest, and the list grows as its items are read, never ahead.
        const std::uint64_t count = Number();
        if (count > bytes_.size() / SmallestEncoding<Item>()) {
            throw Truncated{};
        }
        items.clear();
        for (std::uint64_t i = 0; i < count; ++i) {
            Field(items.emplace_back());
        }
    }
    std::uint64_t Number() {
        std::uint64_t value = 0;
        Field(value);
        return value;
    }
    bool AtEnd() const { return bytes_.empty(); }

private:
    template <typename Item> static constexpr std::size_t SmallestEncoding() {
        return std::is_same_v<Item, MetadataItem> ? 2 : 1; // two texts, or one
    }
    char Next() {
        if (bytes_.empty()) {
            throw Truncated{};
        }
        const char byte = bytes_.front();
        bytes_.remove_prefix(1);
        return byte;
    }
    std::string_view bytes_;
};

// Every value of a row in the form's order, written or read: one list, so
// that the two directions cannot drift apart.
template <typename Codec, typename Row> void Fields(Codec& codec, Row& row) {
    codec.Field(row.Caption);
    codec.Field(row.SubItems);
    codec.Field(row.Size);
    codec.Field(row.ModifiedNs);
    codec.Field(row.Inode);
    codec.Field(row.Source);
    auto& values = row.Summary;
    codec.Field(values.Container);
    codec.Field(values.DurationMs);
    codec.Field(values.HasVideo);
    codec.Field(values.VideoCode);
    codec.Field(values.VideoCodec);
    codec.Field(values.VideoProfile);
    codec.Field(values.BitDepth);
    codec.Field(values.Hdr);
    codec.Field(values.VideoBitRate);
    codec.Field(values.Width);
    codec.Field(values.Height);
    codec.Field(values.FrameRate);
    codec.Field(values.DisplayAspect);
    codec.Field(values.Rotation);
    codec.Field(values.HasAudio);
    codec.Field(values.AudioCode);
    codec.Field(values.AudioCodec);
    codec.Field(values.AudioBitRate);
    codec.Field(values.SampleRate);
    codec.Field(values.Channels);
    codec.Field(values.VideoTracks);
    codec.Field(values.AudioTracks);
    codec.Field(values.SubtitleTracks);
    codec.Field(values.AudioLanguages);
    codec.Field(values.SubtitleLanguages);
    codec.Field(values.Metadata);
    codec.Field(values.Truncated);
}

// The values a reader can give, as the readers bound them: a stored row
// outside them was not made by a reader, and its file is read again. A
// classic row states what its Part's fields hold (an AVI's sides are signed
// 32-bit values); a modern row's are never negative.
bool Plausible(const FileRow& row) {
    const MediaSummary& values = row.Summary;
    const bool modern = row.Source > RowSource::Mpeg;
    if (row.SubItems.size() > kMaxCells || (modern && values.Metadata.size() > kMaxMetadataItems) ||
        values.AudioLanguages.size() > kMaxTracks || values.SubtitleLanguages.size() > kMaxTracks) {
        return false;
    }
    const auto within = [](const std::optional<std::int64_t>& value, std::int64_t least,
                           std::int64_t most) {
        return !value || (*value >= least && *value <= most);
    };
    const std::int64_t leastSide = modern ? 0 : INT32_MIN;
    const std::int64_t leastTime = modern ? 0 : INT32_MIN * std::int64_t{1000};
    if (!within(values.Width, leastSide, INT32_MAX) ||
        !within(values.Height, leastSide, INT32_MAX) ||
        !within(values.DurationMs, leastTime, std::int64_t{INT32_MAX} * 1000) ||
        !within(values.VideoBitRate, 0, kMaxBitRate) ||
        !within(values.AudioBitRate, 0, kMaxBitRate) || !within(values.SampleRate, 0, UINT32_MAX) ||
        !within(values.Channels, 0, UINT16_MAX)) {
        return false;
    }
    if (values.FrameRate && (!std::isfinite(*values.FrameRate) ||
                             (modern && (*values.FrameRate <= 0 || *values.FrameRate >= 1e6)))) {
        return false;
    }
    if (values.BitDepth < 0 || values.BitDepth > 64 || values.Rotation % 90 != 0 ||
        values.Rotation < 0 || values.Rotation >= 360 || values.VideoTracks < 0 ||
        values.AudioTracks < 0 || values.SubtitleTracks < 0) {
        return false;
    }
    // A modern Comments cell's items carry the labels of the fixed table (a
    // QuickTime row's are the user data's own).
    return !modern ||
           std::all_of(
               values.Metadata.begin(), values.Metadata.end(), [](const MetadataItem& item) {
                   return !item.Text.empty() &&
                          std::any_of(std::begin(kMetadataLabels), std::end(kMetadataLabels),
                                      [&](const char* label) { return item.Label == label; });
               });
}

} // namespace

std::string EncodeRow(const FileRow& row) {
    Writer out;
    out.Field(std::uint64_t{kFormVersion});
    Fields(out, row);
    return out.Take();
}

std::optional<FileRow> DecodeRow(std::string_view bytes) {
    if (bytes.size() > kMaxRowBytes) {
        return std::nullopt;
    }
    try {
        Reader in(bytes);
        if (in.Number() != kFormVersion) {
            return std::nullopt;
        }
        FileRow row;
        Fields(in, row);
        return in.AtEnd() && Plausible(row) ? std::optional<FileRow>(std::move(row)) : std::nullopt;
    } catch (const Truncated&) {
        return std::nullopt;
    }
}

} // namespace vidarium
