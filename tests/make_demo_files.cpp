// Writes a small folder of movie files made by the test builders, so that a
// newcomer sees real rows at once: make_demo_files DIR
#include "builders.h"

#include <cstdio>
#include <exception>
#include <filesystem>

int main(int argc, char** argv) {
    using namespace vidarium::testing;
    namespace fs = std::filesystem;
    if (argc != 2) {
        std::fputs("Usage: make_demo_files DIR\n", stderr);
        return 2;
    }
    try {
        const fs::path root = argv[1];
        fs::remove_all(root);
        fs::create_directories(root / "Holidays" / "2024");
        fs::create_directories(root / "Archive");

        AviParams beach;
        beach.totalFrames = 4500; // 3 minutes at 25 fps
        beach.width = 720;
        beach.height = 576;
        WriteFile(root / "Beach.avi", AviFile(beach));

        AviParams ntsc;
        ntsc.videoHandler = "XVID";
        ntsc.microSecPerFrame = 33367;
        ntsc.totalFrames = 53946; // 30 minutes at 29.97 fps
        ntsc.rate = 30000;
        ntsc.scale = 1001;
        ntsc.width = 640;
        ntsc.height = 480;
        ntsc.audioTag = 0x2000;
        ntsc.channels = 6;
        ntsc.samplesPerSec = 48000;
        ntsc.avgBytesPerSec = 56000;
        WriteFile(root / "Holidays" / "Canyon.divx", AviFile(ntsc));

        WriteFile(root / "Holidays" / "2024" / "Parade.mpg",
                  MpegFile(352, 288, 3, 2875, 0, 754, 400000));
        WriteFile(root / "Archive" / "Lecture.m2v",
                  MpegFile(720, 480, 4, 20000, 3600, 9000, 300000));
        SoundParams stereo;
        const Bytes movie =
            Atom("moov", Concat({Atom("mvhd", TimeHeaderPayload(600, 72000)),
                                 Track("vide", 600, 72000,
                                       VideoDescriptions("SVQ3", 480, 270, "Sorenson Video 3")),
                                 Track("soun", 44100, 5292000, SoundDescriptions(stereo)),
                                 Container("udta", {UserDataItem("\xA9nam", "Harbour at dusk"),
                                                    UserDataItem("\xA9"
                                                                 "day",
                                                                 "2024-07-14")})}));
        WriteFile(root / "Holidays" / "Harbour.mov", Concat({Atom("ftyp", Bytes(8, 0)), movie}));
        // Not a movie, whatever its name says: listed with its name and size.
        WriteFile(root / "Archive" / "readme.mov", Bytes(2 * 1048576 + 5, 'x'));
        WriteFile(root / "notes.txt", Bytes{'n', 'o', 't', ' ', 'a', ' ', 'm', 'o', 'v', 'i', 'e'});
    } catch (const std::exception& error) {
        std::fprintf(stderr, "make_demo_files: %s\n", error.what());
        return 1;
    }
    return 0;
}
