// Writes the hostile shapes as files, for the hostile benchmark:
//   make_hostile_files DIR
#include "hostileshapes.h"

#include <cstdio>
#include <exception>
#include <filesystem>

int main(int argc, char** argv) {
    using namespace vidarium::testing;
    namespace fs = std::filesystem;
    if (argc != 2) {
        std::fputs("Usage: make_hostile_files DIR\n", stderr);
        return 2;
    }
    try {
        const fs::path root = argv[1];
        fs::create_directories(root);
        WriteFile(root / "iso-fragment-runs.mp4", IsoManyFragmentRuns(2000));
        // One fragment of 43,690 runs, whose IDs share a chain of libstdc++'s
        // hash table at its size.
        WriteFile(root / "iso-colliding-ids.mp4", IsoCollidingTrackIds(1, 43'690, 85'229));
        WriteFile(root / "iso-track-lookups.mp4", IsoManyTrackLookups(20'000));
        WriteFile(root / "mkv-tag-targets.mkv", MatroskaManyTagTargets(40'000, 40'000));
        WriteFile(root / "mkv-date-copies.mkv", MatroskaManyTagTargets(2'000, 0, 512U << 10));
        WriteFile(root / "mkv-date-overflow.mkv",
                  MatroskaStatisticsDate(INT64_MIN, "2300-01-01 00:00:00"));
        WriteFile(root / "mkv-track-entries.mkv", MatroskaManyTrackEntries(500'000));
        WriteFile(root / "avi-nested-indexes.avi", AviNestedIndexes(1U << 20));
        WriteFile(root / "ogg-checksum-storm.ogv", OggChecksumStorm(256U << 10));
        WriteSparse(root / "iso-sparse.mp4", IsoSparseTopLevel(10'000, 32U << 10));
        WriteSparse(root / "mkv-sparse.mkv", MatroskaSparseTopLevel(10'000, 32U << 10));
        // Movies whose compressed header expands to 100 MiB, and to just
        // under the largest movie box the MP4 reader reads.
        WriteFile(root / "mov-expansion.mov", MovExpansion(100U << 20));
        WriteFile(root / "mov-expansion-63.mov", MovExpansion(63U << 20));
    } catch (const std::exception& error) {
        std::fprintf(stderr, "make_hostile_files: %s\n", error.what());
        return 1;
    }
    return 0;
}
