// Files shaped to hurt the modern readers: each once made one load cost
// seconds, gigabytes or thousands of reads. The tests load them, the fuzz
// targets start from them, and the hostile benchmark times them.
#pragma once

#include "builders.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vidarium::testing {

// A fragmented MP4 of `runs` tracks, whose first and last fragment (named
// by its fragment index) each hold `runs` runs, all of track 1.
Bytes IsoManyFragmentRuns(std::size_t runs);
// A fragmented MP4 of one video track, of ID `stride`, and `fragments`
// fragments of `runs` runs each, of tracks `stride`, 2 x `stride`, ...: IDs
// that share one chain of a hash table whose bucket count is `stride`.
Bytes IsoCollidingTrackIds(std::size_t fragments, std::size_t runs, std::uint32_t stride);
// A movie box of `count` empty tracks and as many track extends boxes.
Bytes IsoManyTrackLookups(std::size_t count);
// A QuickTime movie whose compressed movie header expands to `expanded`
// bytes: a movie box of one video track and a free atom.
Bytes MovExpansion(std::size_t expanded);
// A Matroska file whose one tag targets `uids` tracks and holds `simpleTags`
// bit rates, and (when `dateBytes` > 0) a statistics writing date of that
// many bytes.
Bytes MatroskaManyTagTargets(std::size_t uids, std::size_t simpleTags, std::size_t dateBytes = 0);
// A Matroska file whose segment information's date is `dateUtc` and whose
// video track's statistics were written at `writingDate`.
Bytes MatroskaStatisticsDate(std::int64_t dateUtc, const std::string& writingDate);
// A Matroska file whose tracks element holds `count` empty track entries
// after one real video track.
Bytes MatroskaManyTrackEntries(std::size_t count);
// An Ogg Theora file whose last `tailBytes` are "OggS" every 7th byte, each
// a page header of the Theora stream claiming about 32 KB with a checksum
// that does not hold.
Bytes OggChecksumStorm(std::size_t tailBytes);

// An AVI of about `bytes` bytes: its headers, then 20-byte lists each
// holding an "idx1" header that claims 1 MiB, then a top-level index of
// one 1,000-byte video chunk.
Bytes AviNestedIndexes(std::size_t bytes);

// Where a sparse file's top-level headers go: `headers` of them `spacing`
// bytes apart, after the `head` bytes at the start.
struct SparseShape {
    Bytes Head;
    std::vector<std::pair<std::uint64_t, Bytes>> Writes;
    std::uint64_t Size = 0;
};
SparseShape IsoSparseTopLevel(std::size_t headers, std::uint32_t spacing);
SparseShape MatroskaSparseTopLevel(std::size_t headers, std::uint32_t spacing);
// An AVI's headers, the JUNK chunks, then an INFO list titled "Far".
SparseShape AviSparseTopLevel(std::size_t headers, std::uint32_t spacing);
void WriteSparse(const std::filesystem::path& path, const SparseShape& shape);

} // namespace vidarium::testing
