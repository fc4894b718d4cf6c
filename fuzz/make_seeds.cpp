// Writes the seed corpora of the fuzz targets, made by the test builders
// (the hostile shapes among them, at sizes within the fuzzers' input limit):
//   make_seeds DIR   ->  DIR/avi, DIR/mov, DIR/mov_compressed, DIR/mpeg, DIR/rows, ...
#include "builders.h"
#include "hostileshapes.h"

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using namespace vidarium::testing;

namespace {

Bytes QuickTimeMovie(bool compressedHeader) {
    const Bytes moov = Container(
        "moov", {Atom("mvhd", TimeHeaderPayload(600, 6000)),
                 Track("vide", 600, 6000, VideoDescriptions("avc1", 640, 480, "H.264")),
                 Track("soun", 44100, 441000, SoundDescriptions({})),
                 Container("udta", {UserDataItem("\xA9nam", "Seed"), UserDataItem("\xA9"
                                                                                  "day",
                                                                                  "2024")})});
    return Concat({Atom("ftyp", Bytes{'q', 't', ' ', ' '}), Atom("mdat", Bytes(32, 0)),
                   compressedHeader ? CompressedMovie(moov) : moov});
}

// Shapes that once made a load slow: many siblings that each look up a
// sibling or an ancestor's child, inside a small compressed header, and
// containers whose children run past them, so that each level walks the
// rest of the file again.
Bytes ManySiblingLookups() {
    Bytes tracks;
    Bytes compressed = Atom("dcom", Bytes{'z', 'l', 'i', 'b'});
    for (int i = 0; i < 20'000; ++i) {
        tracks = Concat({tracks, Container("moov", {Container("udta", {Atom("stsd", {})})})});
        compressed = Concat({compressed, Atom("cmvd", Bytes(4, 0))});
    }
    return Concat({CompressedMovie(tracks), CompressedMovieStream(ZlibCompress(compressed), 0)});
}

Bytes OverlappingContainers() {
    constexpr std::uint32_t kUnit = 1024;
    constexpr std::uint32_t kUnits = 16;
    Bytes bytes;
    for (std::uint32_t i = 0; i < kUnits; ++i) {
        bytes = Concat({bytes, Container("udta",
                                         {Container("udta", {Atom("free", Bytes(kUnit - 24, 0))},
                                                    (kUnits - i) * kUnit - 8)},
                                         kUnit)});
    }
    return bytes;
}

std::vector<Bytes> IsoSeeds() {
    IsoParams plain;
    plain.tracks[0].children = AvcConfigBox(100, 41);
    IsoTrackParams sound;
    sound.handler = "soun";
    sound.code = "mp4a";
    sound.timeScale = 48000;
    sound.children = AacConfigBox({0x13, 0x10, 0x56, 0xE5, 0x98});
    plain.tracks.push_back(sound);
    plain.movieExtras =
        Container("udta", {Container("meta", {Container("ilst", {IlstItem("\xA9nam", "Seed")})})});
    IsoParams last = plain;
    last.movieLast = true;
    last.brand = "3gp5";
    // Fragmented: the samples in fragments, a movie extends box, one fragment.
    IsoParams fragmented;
    fragmented.tracks[0].sampleTable = false;
    fragmented.movieExtras = Container(
        "mvex",
        {FullBox("trex", 0, Concat({Bytes{0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 2, 0}, Bytes(8, 0)}))});
    Bytes trun;
    AppendBe32(trun, 25);
    const Bytes moof = Atom(
        "moof", Container("traf", {FullBox("tfhd", 0, {0, 0, 0, 1}),
                                   FullBox("tfdt", 0, {0, 0, 0, 0}), FullBox("trun", 0, trun)}));
    return {
        IsoMovie(plain),          IsoMovie(last),           Concat({IsoMovie(fragmented), moof}),
        IsoManyFragmentRuns(100), IsoManyTrackLookups(500), QuickTimeMovie(true)};
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fputs("usage: make_seeds DIR\n", stderr);
        return 2;
    }
    const fs::path root = argv[1];
    SoundParams v1;
    v1.version = 1;
    v1.format = "ima4";
    v1.samplesPerPacket = 64;
    v1.bytesPerFrame = 68;
    const Bytes movie = Concat({Atom("mvhd", TimeHeaderPayload(600, 600)),
                                Track("soun", 600, 600, SoundDescriptions(v1))});
    const std::vector<std::pair<std::string, std::vector<Bytes>>> corpora{
        {"avi",
         {AviFile(), AviFile({.videoHandler = "XVID", .audioTag = 0x2000}),
          AviNestedIndexes(8U << 10)}},
        {"mov",
         {QuickTimeMovie(false), QuickTimeMovie(true), Atom64("moov", movie), ManySiblingLookups(),
          OverlappingContainers()}},
        {"mov_compressed", {Atom("moov", movie), QuickTimeMovie(false)}},
        {"mpeg", {MpegFile(352, 288, 3, 2875, 0, 60), MpegFile(720, 480, 4, 0x3FFFF, 1, 2, 2000)}},
        {"iso", IsoSeeds()},
        // x264's and x265's sequence parameter sets of a 320x240 picture.
        {"headers",
         {Bytes{0x67, 0x64, 0x00, 0x0d, 0xac, 0xd9, 0x41, 0x41, 0xfb, 0x01, 0x10, 0x00, 0x00,
                0x03, 0x00, 0x10, 0x00, 0x00, 0x03, 0x03, 0x20, 0xf1, 0x42, 0x99, 0x60},
          Bytes{0x42, 0x01, 0x01, 0x01, 0x60, 0x00, 0x00, 0x03, 0x00, 0x90, 0x00,
                0x00, 0x03, 0x00, 0x00, 0x03, 0x00, 0x3c, 0xa0, 0x0a, 0x08, 0x0f,
                0x16, 0x59, 0x59, 0x52, 0x93, 0x0b, 0xc0, 0x5a, 0x02, 0x00, 0x00,
                0x03, 0x00, 0x02, 0x00, 0x00, 0x03, 0x00, 0x32, 0x10}}},
        {"ts", {TransportStream(), TransportStream(1U << 20, 3)}},
        {"mkv",
         {MatroskaFile(), MatroskaFile(-1), MatroskaFile(0, 4000, Ebml(0x1254C367, {})),
          MatroskaManyTagTargets(300, 300), MatroskaManyTagTargets(100, 0, 4096),
          MatroskaStatisticsDate(INT64_MIN, "2300-01-01 00:00:00"),
          MatroskaManyTrackEntries(5000)}},
        {"asf", {AsfFile(), AsfFile({.broadcast = true, .videoCode = "MP43", .extended = false})}},
        {"flv",
         {FlvFile(Concat({AmfNumber("duration", 7.5), AmfString("title", "Harbour")})),
          FlvFile({})}},
        {"ogg", {OggFile(), OggChecksumStorm(32U << 10)}},
        {"ps",
         {ProgramStream(), ProgramStream(1U << 20, 40),
          ProgramStream(900000, 0, 0x3FFFF, 0xBD,
                        {0x80, 0x01, 0x00, 0x01, 0x0B, 0x77, 0x00, 0x00, 0x18, 0x40, 0x20, 0x00})}},
        // The stored rows of tests/fuzz-regressions/rowcodec are its seeds.
        {"rowcodec", {}},
        {"rows",
         {Concat({Bytes{5, 'c', 'l', 'i', 'p', 0xA9}, AviFile()}),
          Concat({Bytes{3, 'm', ',', '"'}, QuickTimeMovie(false)}),
          Concat({Bytes{0}, MpegFile(352, 288, 3, 2875, 0, 60)})}},
    };
    for (const auto& [target, seeds] : corpora) {
        fs::create_directories(root / target);
        for (std::size_t i = 0; i < seeds.size(); ++i) {
            WriteFile(root / target / ("seed" + std::to_string(i)), seeds[i]);
        }
    }
    return 0;
}
