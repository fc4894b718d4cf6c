#include "rowcodec.h"

#include <bit>
#include <cstdint>
#include <cstring>

namespace vidarium {
namespace {

// Raised inside the decoder only: the bytes end early or say too much.
struct Truncated {};

// The form's first byte; a row of another form is read again.
constexpr std::uint8_t kFormVersion = 1;

class Writer {
public:
    void Number(std::uint64_t value) {
        // Seven bits a byte, low first: small values take one byte.
        do {
            const auto low = static_cast<std::uint8_t>(value & 0x7F);
            value >>= 7;
            bytes_ += static_cast<char>(value != 0 ? (low | 0x80) : low);
        } while (value != 0);
    }
    void Signed(std::int64_t value) { Number(std::bit_cast<std::uint64_t>(value)); }
    void Text(std::string_view text) {
        Number(text.size());
        bytes_ += text;
    }
    void Texts(const std::vector<std::string>& texts) {
        Number(texts.size());
        for (const std::string& text : texts) {
            Text(text);
        }
    }
    void Maybe(const std::optional<std::int64_t>& value) {
        Number(value ? 1 : 0);
        if (value) {
            Signed(*value);
        }
    }
    void Maybe(const std::optional<double>& value) {
        Number(value ? 1 : 0);
        if (value) {
            Number(std::bit_cast<std::uint64_t>(*value));
        }
    }
    std::string Take() { return std::move(bytes_); }

private:
    std::string bytes_;
};

class Reader {
public:
    explicit Reader(std::string_view bytes) : bytes_(bytes) {}

    std::uint64_t Number() {
        std::uint64_t value = 0;
        for (int shift = 0; shift < 64; shift += 7) {
            if (bytes_.empty()) {
                throw Truncated{};
            }
            const auto byte = static_cast<std::uint8_t>(bytes_.front());
            bytes_.remove_prefix(1);
            value |= static_cast<std::uint64_t>(byte & 0x7F) << shift;
            if ((byte & 0x80) == 0) {
                return value;
            }
        }
        throw Truncated{};
    }
    std::int64_t Signed() { return std::bit_cast<std::int64_t>(Number()); }
    int Small() {
        const std::int64_t value = Signed();
        if (value < INT32_MIN || value > INT32_MAX) {
            throw Truncated{};
        }
        return static_cast<int>(value);
    }
    bool Flag() { return Number() != 0; }
    std::string Text() {
        const std::uint64_t length = Number();
        if (length > bytes_.size()) {
            throw Truncated{};
        }
        std::string text(bytes_.substr(0, length));
        bytes_.remove_prefix(length);
        return text;
    }
    // A count of texts: each takes a byte at least, so a count cannot ask
    // for more than the bytes left hold.
    std::uint64_t Count() {
        const std::uint64_t count = Number();
        if (count > bytes_.size()) {
            throw Truncated{};
        }
        return count;
    }
    std::vector<std::string> Texts() {
        const std::uint64_t count = Count();
        std::vector<std::string> texts;
        texts.reserve(count);
        for (std::uint64_t i = 0; i < count; ++i) {
            texts.push_back(Text());
        }
        return texts;
    }
    std::optional<std::int64_t> MaybeNumber() {
        if (!Flag()) {
            return std::nullopt;
        }
        return Signed();
    }
    std::optional<double> MaybeReal() {
        if (!Flag()) {
            return std::nullopt;
        }
        return std::bit_cast<double>(Number());
    }
    bool AtEnd() const { return bytes_.empty(); }

private:
    std::string_view bytes_;
};

} // namespace

std::string EncodeRow(const FileRow& row) {
    Writer out;
    out.Number(kFormVersion);
    out.Text(row.Caption);
    out.Texts(row.SubItems);
    out.Number(row.Size);
    out.Signed(row.ModifiedNs);
    out.Number(row.Inode);
    out.Number(static_cast<std::uint64_t>(row.Source));
    const MediaSummary& values = row.Summary;
    out.Text(values.Container);
    out.Maybe(values.DurationMs);
    out.Number(values.HasVideo ? 1 : 0);
    out.Text(values.VideoCode);
    out.Text(values.VideoCodec);
    out.Text(values.VideoProfile);
    out.Signed(values.BitDepth);
    out.Text(values.Hdr);
    out.Maybe(values.VideoBitRate);
    out.Maybe(values.Width);
    out.Maybe(values.Height);
    out.Maybe(values.FrameRate);
    out.Text(values.DisplayAspect);
    out.Signed(values.Rotation);
    out.Number(values.HasAudio ? 1 : 0);
    out.Text(values.AudioCode);
    out.Text(values.AudioCodec);
    out.Maybe(values.AudioBitRate);
    out.Maybe(values.SampleRate);
    out.Maybe(values.Channels);
    out.Signed(values.VideoTracks);
    out.Signed(values.AudioTracks);
    out.Signed(values.SubtitleTracks);
    out.Texts(values.AudioLanguages);
    out.Texts(values.SubtitleLanguages);
    out.Number(values.Metadata.size());
    for (const MetadataItem& item : values.Metadata) {
        out.Text(item.Label);
        out.Text(item.Text);
    }
    return out.Take();
}

std::optional<FileRow> DecodeRow(std::string_view bytes) {
    try {
        Reader in(bytes);
        if (in.Number() != kFormVersion) {
            return std::nullopt;
        }
        FileRow row;
        row.Caption = in.Text();
        row.SubItems = in.Texts();
        row.Size = in.Number();
        row.ModifiedNs = in.Signed();
        row.Inode = in.Number();
        const std::uint64_t source = in.Number();
        if (source >= kRowSources) {
            return std::nullopt;
        }
        row.Source = static_cast<RowSource>(source);
        MediaSummary& values = row.Summary;
        values.Container = in.Text();
        values.DurationMs = in.MaybeNumber();
        values.HasVideo = in.Flag();
        values.VideoCode = in.Text();
        values.VideoCodec = in.Text();
        values.VideoProfile = in.Text();
        values.BitDepth = in.Small();
        values.Hdr = in.Text();
        values.VideoBitRate = in.MaybeNumber();
        values.Width = in.MaybeNumber();
        values.Height = in.MaybeNumber();
        values.FrameRate = in.MaybeReal();
        values.DisplayAspect = in.Text();
        values.Rotation = in.Small();
        values.HasAudio = in.Flag();
        values.AudioCode = in.Text();
        values.AudioCodec = in.Text();
        values.AudioBitRate = in.MaybeNumber();
        values.SampleRate = in.MaybeNumber();
        values.Channels = in.MaybeNumber();
        values.VideoTracks = in.Small();
        values.AudioTracks = in.Small();
        values.SubtitleTracks = in.Small();
        values.AudioLanguages = in.Texts();
        values.SubtitleLanguages = in.Texts();
        const std::uint64_t items = in.Count();
        for (std::uint64_t i = 0; i < items; ++i) {
            std::string label = in.Text();
            values.Metadata.push_back({std::move(label), in.Text()});
        }
        return in.AtEnd() ? std::optional<FileRow>(std::move(row)) : std::nullopt;
    } catch (const Truncated&) {
        return std::nullopt;
    }
}

} // namespace vidarium
