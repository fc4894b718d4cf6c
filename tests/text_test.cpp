#include "languages.h"
#include "localtext.h"
#include "scanworker.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <clocale>
#include <set>
#include <stdexcept>
#include <string>
#include <tuple>

namespace vidarium {
namespace {

// Runs a block under a UTF-8 character set and restores the previous locale.
class Utf8Locale {
public:
    Utf8Locale() : previous_(std::setlocale(LC_ALL, nullptr)) {
        available_ = std::setlocale(LC_ALL, "C.UTF-8") != nullptr ||
                     std::setlocale(LC_ALL, "en_US.UTF-8") != nullptr;
    }
    ~Utf8Locale() { std::setlocale(LC_ALL, previous_.c_str()); }
    bool Available() const { return available_; }

private:
    std::string previous_;
    bool available_ = false;
};

TEST(LocaleText, Utf8NamesKeepValidSequencesOnly) {
    Utf8Locale locale;
    if (!locale.Available()) {
        GTEST_SKIP() << "no UTF-8 locale on this machine";
    }
    const std::pair<std::string, std::string> cases[] = {
        {"plain.avi", "plain.avi"},
        {"caf\xC3\xA9.avi", "caf\xC3\xA9.avi"},                           // é
        {"\xE6\x98\xA0\xE7\x94\xBB.mov", "\xE6\x98\xA0\xE7\x94\xBB.mov"}, // CJK
        {"\xF0\x9F\x8E\xAC.mpg", "\xF0\x9F\x8E\xAC.mpg"},                 // emoji
        {"latin1 \xE9t\xE9.avi", "latin1 ?t?.avi"},                       // not UTF-8
        {"\xC0\xAF", "??"},                                               // overlong
        {"\xED\xA0\x80", "???"},                                          // surrogate
        {"\xF4\x90\x80\x80", "????"},                                     // beyond U+10FFFF
        {"cut \xE6\x98", "cut ??"},                                       // truncated sequence
    };
    for (const auto& [bytes, text] : cases) {
        EXPECT_EQ(NativeBytesToLocaleText(bytes), text) << bytes;
    }
}

TEST(LocaleText, AsciiLocaleReplacesEveryHighByte) {
    const std::string previous = std::setlocale(LC_ALL, nullptr);
    std::setlocale(LC_ALL, "C");
    EXPECT_EQ(NativeBytesToLocaleText("caf\xC3\xA9.avi"), "caf??.avi");
    std::setlocale(LC_ALL, previous.c_str());
}

TEST(LocaleText, TrimRemovesBytesBelow33AtBothEnds) {
    EXPECT_EQ(TrimBelow33(" \t\r\n x y \x1F"), "x y");
    EXPECT_EQ(TrimBelow33("   "), "");
    EXPECT_EQ(TrimBelow33(""), "");
    EXPECT_EQ(TrimBelow33("!"), "!");
    EXPECT_EQ(TrimBelow33("\xA0x\xA0"), "\xA0x\xA0"); // high bytes stay
}

TEST(Languages, EverySpellingGivesOneCode) {
    for (const auto& [tag, code, name] :
         {std::tuple{"de", "deu", "German"}, std::tuple{"ger", "deu", "German"},
          std::tuple{"deu", "deu", "German"}, std::tuple{"de-DE", "deu", "German"},
          std::tuple{"DE", "deu", "German"}, std::tuple{"fre", "fra", "French"},
          std::tuple{"pt_BR", "por", "Portuguese"}, std::tuple{"zh-Hant-TW", "zho", "Chinese"},
          std::tuple{"yue", "yue", "Yue Chinese"}, // ISO 639-3 only
          std::tuple{"", "und", ""}, std::tuple{"und", "und", ""}, std::tuple{"xx", "und", ""},
          std::tuple{"e1n", "und", ""}, std::tuple{"english", "und", ""},
          std::tuple{"qaa", "und", ""}}) {
        EXPECT_EQ(LanguageCode(tag), code) << tag;
        EXPECT_EQ(LanguageNameOf(LanguageCode(tag)), name) << tag;
    }
}

TEST(Extensions, TakenFromTheLastDotSlashOrColon) {
    const std::pair<const char*, const char*> cases[] = {
        {"movie.avi", ".avi"}, {"archive.tar.mpg", ".mpg"}, {".avi", ".avi"},
        {"noext", ""},         {"trailing.", "."},          {"a.b\\c", ""},
        {"a.b:c", ""},         {"x:y.mov", ".mov"},         {"", ""},
    };
    for (const auto& [name, extension] : cases) {
        EXPECT_EQ(ExtensionOf(name), extension) << name;
    }
}

// Every kind of reader has one row of the table, so that every order's
// kinds are found; a kind past the table is refused, not read past.
TEST(Extensions, EveryReaderKindHasOneRow) {
    for (std::size_t kind = 0; kind < kReaderKinds; ++kind) {
        EXPECT_EQ(std::ranges::count_if(ReaderTable(),
                                        [&](const ReaderEntry& entry) {
                                            return static_cast<std::size_t>(entry.Kind) == kind;
                                        }),
                  1)
            << kind;
    }
    EXPECT_EQ(ReaderTable().size(), kReaderKinds);
    EXPECT_THROW(ReaderFor(static_cast<ReaderKind>(kReaderKinds)), std::out_of_range);
}

// The JSON rows name each source once: every source that a reader gives has
// its name, the same on each of its rows, and no two sources share one.
TEST(Extensions, EverySourceHasOneName) {
    std::set<std::string_view> names{RowSourceName(RowSource::Plain)};
    for (std::size_t number = 1; number < kRowSources; ++number) {
        const auto source = static_cast<RowSource>(number);
        const std::string_view name = RowSourceName(source);
        for (const ReaderEntry& entry : ReaderTable()) {
            EXPECT_TRUE(entry.Source != source || entry.SourceName == name) << name;
        }
        EXPECT_TRUE(names.insert(name).second) << name;
    }
    EXPECT_EQ(RowSourceName(RowSource::Iso), "mp4");
    EXPECT_THROW(RowSourceName(static_cast<RowSource>(kRowSources)), std::out_of_range);
}

TEST(Extensions, ReaderOrders) {
    using enum ReaderKind;
    // The modern readers come first; only all formats on tries them.
    const std::vector<ReaderKind> aviFamily{AviStreams, Iso, Avi, QuickTime, Mpeg};
    const std::vector<ReaderKind> mpegFamily{AviStreams, Ps, Avi, Mpeg};
    for (const char* extension : {".avi", ".divx", ".mov"}) {
        EXPECT_TRUE(std::ranges::equal(ReaderOrderFor(extension), aviFamily)) << extension;
    }
    for (const char* extension : {".mpg", ".mpeg", ".mpe", ".m1v", ".m2v", ".vob"}) {
        EXPECT_TRUE(std::ranges::equal(ReaderOrderFor(extension), mpegFamily)) << extension;
    }
    for (const char* extension : {"", ".", ".txt", ".AVI", ".avi "}) {
        EXPECT_TRUE(ReaderOrderFor(extension).empty()) << extension;
    }
    // A modern extension names its reader, and is listed with all formats
    // on only.
    for (const auto& [extension, reader] : {std::pair{".mp4", Iso}, std::pair{".webm", Matroska},
                                            std::pair{".m2ts", Ts}, std::pair{".m2p", Ps}}) {
        EXPECT_TRUE(std::ranges::equal(ReaderOrderFor(extension), std::vector{reader}))
            << extension;
        EXPECT_FALSE(IsListedExtension(extension, false)) << extension;
        EXPECT_TRUE(IsListedExtension(extension, true)) << extension;
    }
}

TEST(Extensions, UnicodeLowerCasing) {
    Utf8Locale locale;
    if (!locale.Available()) {
        GTEST_SKIP() << "no UTF-8 locale on this machine";
    }
    EXPECT_EQ(LowerCaseExtension(".AVI"), ".avi");
    EXPECT_EQ(LowerCaseExtension(".MpG"), ".mpg");
    EXPECT_EQ(LowerCaseExtension(".\xC3\x89X"), ".\xC3\xA9x"); // É -> é
    EXPECT_EQ(LowerCaseExtension(".\xFF"
                                 "AVI"),
              ".\xFF"
              "avi"); // undecodable byte kept
}

} // namespace
} // namespace vidarium
