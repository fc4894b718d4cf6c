// What a modern reader (ISO, Matroska, transport stream, ...) finds in a
// file, in one plain shape that one row builder formats. A value the file
// does not give stays empty.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vidarium {

// One metadata item of the Comments cell: its label from the fixed table
// (Title, Artist, ...) and its text as UTF-8 where the file says so.
struct MetadataItem {
    std::string Label;
    std::string Text;
    friend bool operator==(const MetadataItem&, const MetadataItem&) = default;
};

// The labels the Comments cell shows, in the order it shows them.
inline constexpr const char* kMetadataLabels[] = {"Title",   "Artist",      "Album",    "Date",
                                                  "Comment", "Description", "Genre",    "Copyright",
                                                  "Make",    "Model",       "Location", "Software"};

// The Comments cell's items from texts in the order a file gave them: the
// first text of each label, in the labels' order.
inline std::vector<MetadataItem> InLabelOrder(const std::vector<MetadataItem>& found) {
    std::vector<MetadataItem> items;
    for (const char* label : kMetadataLabels) {
        const auto text = std::find_if(found.begin(), found.end(), [&](const MetadataItem& item) {
            return item.Label == label;
        });
        if (text != found.end()) {
            items.push_back(*text);
        }
    }
    return items;
}

// What the codec configuration of a track says beyond its codec.
struct CodecDetails {
    std::string Profile;          // "High@L4.1", "Main 10@L5.1", "P0"
    int BitDepth = 0;             // 0: not stated
    std::string Hdr;              // "HDR10", "HLG" or empty
    bool Sbr = false;             // AAC with spectral band replication (HE-AAC)
    bool Ps = false;              // ... and parametric stereo (HE-AACv2)
    std::uint32_t SampleRate = 0; // from the configuration, 0: not stated
    std::uint32_t Channels = 0;   // from the configuration, 0: not stated
    std::uint32_t BitRate = 0;    // bits per second, 0: not stated
    double FrameRate = 0;         // from the stream's timing information, 0: not stated
};

struct MediaSummary {
    // The container's label: "MP4", "M4V", "3GP", "MOV", "AVI", ...
    std::string Container;
    std::optional<std::int64_t> DurationMs;

    bool HasVideo = false;
    std::string VideoCode;  // the raw code: a four-character code, or hex
    std::string VideoCodec; // the codec's common name, or the raw code
    std::string VideoProfile;
    int BitDepth = 0; // 0: not stated
    std::string Hdr;
    std::optional<std::int64_t> VideoBitRate; // bits per second
    std::optional<std::int64_t> Width;
    std::optional<std::int64_t> Height;
    std::optional<double> FrameRate;
    std::string DisplayAspect; // "16:9", empty when not stated
    int Rotation = 0;          // clockwise degrees

    bool HasAudio = false;
    std::string AudioCode;
    std::string AudioCodec;
    std::optional<std::int64_t> AudioBitRate;
    std::optional<std::int64_t> SampleRate;
    std::optional<std::int64_t> Channels;

    int VideoTracks = 0;
    int AudioTracks = 0;
    int SubtitleTracks = 0;
    // Each sound and subtitle track's language, in file order, where the
    // container names one ("eng", "de-CH").
    std::vector<std::string> AudioLanguages;
    std::vector<std::string> SubtitleLanguages;
    std::vector<MetadataItem> Metadata;
    // The container's own sizes (a segment's, a box's, the RIFF's, the data
    // object's) run past the file's end: a download or copy cut short.
    bool Truncated = false;
};

// What a container's track carries, as the row counts it; Other is not
// counted (a data or private stream).
enum class TrackKind { Other, Video, Audio, Subtitle };

// Counts a track in the summary. A container that names languages gives the
// track's ("" where it names none: "und"); one that names none gives
// nothing, and its row lists no languages.
inline void CountTrack(MediaSummary& summary, TrackKind kind,
                       std::optional<std::string_view> language = std::nullopt) {
    std::vector<std::string>* languages = nullptr;
    switch (kind) {
    case TrackKind::Video:
        ++summary.VideoTracks;
        return;
    case TrackKind::Audio:
        ++summary.AudioTracks;
        languages = &summary.AudioLanguages;
        break;
    case TrackKind::Subtitle:
        ++summary.SubtitleTracks;
        languages = &summary.SubtitleLanguages;
        break;
    case TrackKind::Other:
        return;
    }
    if (language) {
        languages->emplace_back(language->empty() ? std::string_view("und") : *language);
    }
}

} // namespace vidarium
