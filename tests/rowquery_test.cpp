#include "columns.h"
#include "filerow.h"
#include "rowquery.h"
#include "rowtotals.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vidarium {
namespace {

// Three rows of a collection: a 4K HDR film on a drive, a holiday clip at
// home, an old AVI cut short on the same drive.
std::vector<FileRow> Collection() {
    MediaSummary film;
    film.Container = "MKV";
    film.DurationMs = 9'300'000;
    film.HasVideo = true;
    film.VideoCode = "V_MPEGH/ISO/HEVC";
    film.VideoCodec = "HEVC";
    film.Hdr = "HDR10";
    film.VideoBitRate = 30'000'000;
    film.Width = 3840;
    film.Height = 2160;
    film.FrameRate = 24000.0 / 1001.0;
    film.HasAudio = true;
    film.AudioCodec = "E-AC-3";
    film.AudioBitRate = 640'000;
    film.SampleRate = 48000;
    film.Channels = 6;
    film.AudioLanguages = {"eng", "deu"};
    film.SubtitleLanguages = {"fra"};
    FileRow dune = MakeModernRow("Dune.mkv", 40ULL << 30, RowSource::Matroska, film);
    dune.Path = "/media/me/Films2/Dune.mkv";

    MediaSummary clip;
    clip.Container = "MP4";
    clip.DurationMs = 2'700'000;
    clip.HasVideo = true;
    clip.VideoCode = "avc1";
    clip.VideoCodec = "AVC";
    clip.Width = 1920;
    clip.Height = 1080;
    clip.FrameRate = 25;
    clip.HasAudio = true;
    clip.AudioCodec = "AAC";
    clip.SampleRate = 48000;
    clip.Channels = 2;
    clip.AudioLanguages = {"und"};
    clip.Metadata = {{"Title", "Beach at dusk"}};
    FileRow holiday = MakeModernRow("Holiday.mp4", 700ULL << 20, RowSource::Iso, clip);
    holiday.Path = "/home/me/Videos/Holiday.mp4";

    FileRow old("Old.avi", {"700 MB", "1:30:00", "AVI: DIVX", "", "640", "480", "25", "MP3",
                            "128 kbit/s", "44100", "2"});
    old.Source = RowSource::Avi;
    old.Size = 700ULL << 20;
    old.Summary.DurationMs = 5'400'000;
    old.Summary.Width = 640;
    old.Summary.Height = 480;
    old.Summary.FrameRate = 25;
    old.Summary.Truncated = true;
    old.Path = "/media/me/Films2/old/Old.avi";
    return {dune, holiday, old};
}

std::string Found(const std::string& text) {
    const RowQuery query = RowQuery::Parse(text);
    EXPECT_TRUE(query.Problems().empty()) << text << ": " << query.Problems().front().Reason;
    std::string names;
    for (const FileRow& row : Collection()) {
        if (query.Matches(row, RowQuery::SearchText(row))) {
            names += (names.empty() ? "" : " ") + row.Caption;
        }
    }
    return names;
}

TEST(RowQuery, EachTermFindsItsRows) {
    const std::pair<const char*, const char*> cases[] = {
        {"", "Dune.mkv Holiday.mp4 Old.avi"},
        {"dune", "Dune.mkv"},
        {"DUNE", "Dune.mkv"},
        {"-dune", "Holiday.mp4 Old.avi"},
        {"\"at dusk\"", "Holiday.mp4"}, // the Comments cell, words and space
        {"title:\"beach at\"", "Holiday.mp4"},
        {"lang:deu", "Dune.mkv"},
        {"lang:de", "Dune.mkv"},
        {"lang:German", "Dune.mkv"},
        {"sub:french", "Dune.mkv"},
        {"-lang:deu", "Holiday.mp4 Old.avi"},
        {"codec:hevc", "Dune.mkv"},
        {"codec:h265", "Dune.mkv"},
        {"codec:divx", "Old.avi"},
        {"acodec:eac3", "Dune.mkv"},
        {"hdr", "Dune.mkv"},
        {"-hdr", "Holiday.mp4 Old.avi"},
        {"hdr:hdr10", "Dune.mkv"},
        {"height>=2160", "Dune.mkv"},
        {"height<1080", "Old.avi"},
        {"h:1080", "Holiday.mp4"},
        {"fps<24", "Dune.mkv"},
        {"fps=25", "Holiday.mp4 Old.avi"},
        {"size>4G", "Dune.mkv"},
        {"size<=700M", "Holiday.mp4 Old.avi"},
        {"size>700MiB", "Dune.mkv"},
        {"length>1:30:00", "Dune.mkv"},
        {"length>=90m", "Dune.mkv Old.avi"},
        {"length<1h", "Holiday.mp4"},
        {"ext:mkv", "Dune.mkv"},
        {"ext:AVI", "Old.avi"},
        {"drive:films2", "Dune.mkv Old.avi"},
        {"container:mp4", "Holiday.mp4"},
        {"container:avi", "Old.avi"},
        {"truncated", "Old.avi"},
        {"abitrate>=640k", "Dune.mkv"},
        {"bitrate>5M", "Dune.mkv"},
        {"freq:48k", "Dune.mkv Holiday.mp4"},
        {"channels>2", "Dune.mkv"},
        {"codec:hevc lang:deu height>=2160", "Dune.mkv"},
        {"codec:hevc lang:jpn", ""},
        {"drive:films2 -truncated", "Dune.mkv"},
        {"films2", ""}, // words are sought in the cells shown, not the path
    };
    for (const auto& [text, names] : cases) {
        EXPECT_EQ(Found(text), names) << text;
    }
}

TEST(RowQuery, TermsItCannotReadAreNamed) {
    const std::pair<const char*, const char*> cases[] = {
        {"foo:bar", "no field 'foo'"},
        {"height>tall", "'tall' is not a number for 'height'"},
        {"size>4X", "'4x' is not a size (700M, 4G) for 'size'"},
        {"length>90", "'90' is not a length (1:30:00, 90m, 2h) for 'length'"},
        {"length>1:75:00", "'1:75:00' is not a length (1:30:00, 90m, 2h) for 'length'"},
        {"name>3", "'name' is text: compare with ':'"},
        {"lang:", "'lang' needs a value"},
    };
    for (const auto& [text, reason] : cases) {
        const RowQuery query = RowQuery::Parse(std::string("dune ") + text);
        ASSERT_EQ(query.Problems().size(), 1U) << text;
        EXPECT_EQ(query.Problems().front().Term, text);
        EXPECT_EQ(query.Problems().front().Reason, reason);
        // The rest of the search still holds.
        EXPECT_EQ(query.Words(), std::vector<std::string>{"dune"});
    }
    // Words that only look like terms stay words.
    for (const char* word : {"12:00", "<3", "\"a:b\""}) {
        const RowQuery query = RowQuery::Parse(word);
        EXPECT_TRUE(query.Problems().empty()) << word;
        EXPECT_EQ(query.Words().size(), 1U) << word;
    }
}

// The details pane's text: a line a column with a value, the path whole,
// the comments an item a line, the languages named.
TEST(RowDetails, EveryValueOnItsLine) {
    const std::vector<FileRow> rows = Collection();
    const std::string film = DetailsText(rows[0]);
    for (const char* line :
         {"Filename: Dune.mkv\n", "Video bitrate: 30000 kbit/s\n",
          "Audio languages: eng, deu (English, German)\n", "Subtitle languages: fra (French)\n",
          "HDR: HDR10\n", "Path: /media/me/Films2/Dune.mkv\n"}) {
        EXPECT_NE(film.find(line), std::string::npos) << line << film;
    }
    EXPECT_EQ(film.find("Truncated"), std::string::npos) << film;
    EXPECT_NE(DetailsText(rows[1]).find("Comments:\n    Title: Beach at dusk\n"), std::string::npos)
        << DetailsText(rows[1]);
    EXPECT_NE(DetailsText(rows[2]).find("Truncated: yes\n"), std::string::npos);
}

// Totals are the sums over the rows, each movie under its value (under each
// of its languages); a row no reader gave is not a movie.
TEST(RowTotals, SumsOverTheRowsByEachField) {
    std::vector<FileRow> rows = Collection();
    rows.push_back(MakePlainRow("notes.mov", 1000));
    const auto groups = [&](TotalsField field) {
        std::string text;
        for (const TotalsGroup& group : Totals(rows, field)) {
            text += group.Value + "=" + std::to_string(group.Movies) + " ";
        }
        return text;
    };
    EXPECT_EQ(groups(TotalsField::Container), "MKV=1 MP4=1 avi=1 ");
    EXPECT_EQ(groups(TotalsField::Codec), "AVC=1 HEVC=1 none=1 ");
    EXPECT_EQ(groups(TotalsField::Resolution), "1080p=1 2160p=1 SD=1 ");
    EXPECT_EQ(groups(TotalsField::Hdr), "SDR=2 HDR10=1 "); // the most movies first
    EXPECT_EQ(groups(TotalsField::Language), "deu=1 eng=1 none=1 und=1 ");
    std::uint64_t bytes = 0;
    std::int64_t ms = 0;
    for (const TotalsGroup& group : Totals(rows, TotalsField::Container)) {
        bytes += group.Bytes;
        ms += group.DurationMs;
    }
    EXPECT_EQ(bytes, (40ULL << 30) + 2 * (700ULL << 20));
    EXPECT_EQ(ms, 9'300'000 + 2'700'000 + 5'400'000);
    // A wide film is of its width's class.
    FileRow wide = rows[1];
    wide.Summary.Width = 1920;
    wide.Summary.Height = 800;
    EXPECT_EQ(ResolutionClass(wide), "1080p");
    wide.Summary.Width = 1280;
    wide.Summary.Height = 534;
    EXPECT_EQ(ResolutionClass(wide), "720p");
}

} // namespace
} // namespace vidarium
