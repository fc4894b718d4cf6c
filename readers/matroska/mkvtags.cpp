// Matroska's tags: the file's own (its Comments) and each track's, among
// them the statistics mkvmerge writes after the clusters.
#include "mkvload.h"

namespace vidarium::mkv {
namespace {

// Nanoseconds from 2001-01-01 (Matroska's epoch) to a statistics date,
// "YYYY-MM-DD HH:MM:SS" in UTC; nothing when it is not one.
std::optional<std::int64_t> NanosecondsSince2001(const std::string& text) {
    int year = 0;
    int month = 0;
    int day = 0;
    int hour = 0;
    int minute = 0;
    int second = 0;
    if (std::sscanf(text.c_str(), "%4d-%2d-%2d %2d:%2d:%2d", &year, &month, &day, &hour, &minute,
                    &second) != 6 ||
        year < 1970 || year > 9999 || month < 1 || month > 12 || day < 1 || day > 31) {
        return std::nullopt;
    }
    // Days from the civil date (Howard Hinnant's algorithm), then seconds.
    const int y = year - (month <= 2 ? 1 : 0);
    const int era = y / 400;
    const int yearOfEra = y - era * 400;
    const int dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const int dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    const std::int64_t days = std::int64_t{era} * 146097 + dayOfEra - 719468;
    constexpr std::int64_t kDaysTo2001 = 11323;
    const std::int64_t seconds = (days - kDaysTo2001) * 86400 + std::int64_t{hour} * 3600 +
                                 std::int64_t{minute} * 60 + second;
    // Past the year 2293 the nanoseconds no longer fit: not a date then.
    return ProductOrUnknown<std::int64_t>(seconds, 1'000'000'000);
}

} // namespace

std::pair<std::string, std::string> MatroskaLoad::ReadSimpleTag(ByteSpan simpleTag) {
    std::pair<std::string, std::string> tag;
    Children(simpleTag, 3, [&](std::uint32_t id, ByteSpan field) {
        if (id == kTagName) {
            tag.first = Text(field);
        } else if (id == kTagString) {
            tag.second = Text(field);
        }
    });
    return tag;
}

void MatroskaLoad::ReadFileTags(const std::vector<std::pair<std::string, std::string>>& simple) {
    for (const auto& [tagName, text] : simple) {
        const std::string& name = tagName; // a binding cannot be captured
        const auto* fileTag =
            std::find_if(kFileTags.begin(), kFileTags.end(),
                         [&name](const FileTag& known) { return known.Name == name; });
        if (fileTag != kFileTags.end() && !text.empty()) {
            fileTags_.emplace(fileTag->Label, text);
        }
    }
}

void MatroskaLoad::ReadTrackTag(const std::vector<std::uint64_t>& trackUids,
                                const std::vector<std::pair<std::string, std::string>>& simple) {
    // What the tag says of its tracks, then given to each once: a tag may
    // name thousands of tracks.
    std::optional<std::int64_t> bitRate;
    std::optional<std::optional<std::int64_t>> writingDate;
    for (const auto& [name, text] : simple) {
        if (name == "BPS") {
            char* end = nullptr;
            const long long value = std::strtoll(text.c_str(), &end, 10);
            if (end != text.c_str() && *end == '\0' && value > 0) {
                bitRate = value;
            }
        } else if (name == "_STATISTICS_WRITING_DATE_UTC") {
            writingDate = NanosecondsSince2001(text);
        }
    }
    for (const std::uint64_t uid : trackUids) {
        stop_.Check();
        TrackStatistics& statistics = statistics_[uid];
        if (bitRate) {
            statistics.BitRate = bitRate;
        }
        if (writingDate) {
            statistics.WritingDate = *writingDate;
        }
    }
}

void MatroskaLoad::ReadTags(ByteSpan payload) {
    Children(payload, 1, [&](std::uint32_t id, ByteSpan tag) {
        if (id != kTag) {
            return;
        }
        std::vector<std::uint64_t> trackUids;
        bool otherTarget = false;
        std::vector<std::pair<std::string, std::string>> simple;
        Children(tag, 2, [&](std::uint32_t tagId, ByteSpan value) {
            if (tagId == kTargets) {
                Children(value, 3, [&](std::uint32_t targetId, ByteSpan uid) {
                    if (targetId == kTagTrackUid) {
                        trackUids.push_back(Unsigned(uid));
                    }
                    otherTarget = otherTarget || targetId == kTagEditionUid ||
                                  targetId == kTagChapterUid || targetId == kTagAttachmentUid;
                });
            } else if (tagId == kSimpleTag) {
                simple.push_back(ReadSimpleTag(value));
            }
        });
        if (otherTarget) {
            return;
        }
        if (trackUids.empty()) {
            ReadFileTags(simple);
        } else {
            ReadTrackTag(trackUids, simple);
        }
    });
}

} // namespace vidarium::mkv
