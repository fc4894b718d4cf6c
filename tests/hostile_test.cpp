// Every bound that keeps the cost of one load small, whatever the bytes: each
// test fails when its bound is taken away.
#include "asfreader.h"
#include "avireader.h"
#include "builders.h"
#include "bytesource.h"
#include "countingsource.h"
#include "elementary.h"
#include "flvreader.h"
#include "guarded.h"
#include "hostileshapes.h"
#include "isoreader.h"
#include "loadedmovie.h"
#include "loadmemory.h"
#include "loadstop.h"
#include "mkvreader.h"
#include "movreader.h"
#include "oggreader.h"
#include "psreader.h"
#include "readererror.h"
#include "readerset.h"
#include "readertable.h"
#include "recordinghost.h"
#include "scanworker.h"
#include "streamheaders.h"
#include "tempdir.h"
#include "tsreader.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <future>
#include <new>

#include <malloc.h>

// The largest single allocation, and all allocations together, since the
// last reset: how a test sees the memory a load asked for without timing
// anything.
namespace {
std::atomic<std::size_t> largestAllocation{0};
std::atomic<std::size_t> allocatedInAll{0};
// Bytes held now, and the most held at once since the last reset.
std::atomic<std::size_t> heldBytes{0};
std::atomic<std::size_t> peakHeldBytes{0};

void* Allocate(std::size_t size) {
    allocatedInAll.fetch_add(size, std::memory_order_relaxed);
    std::size_t seen = largestAllocation.load(std::memory_order_relaxed);
    while (size > seen && !largestAllocation.compare_exchange_weak(seen, size)) {
    }
    if (void* memory = std::malloc(size == 0 ? 1 : size)) {
        const std::size_t held =
            heldBytes.fetch_add(malloc_usable_size(memory), std::memory_order_relaxed) +
            malloc_usable_size(memory);
        std::size_t peak = peakHeldBytes.load(std::memory_order_relaxed);
        while (held > peak && !peakHeldBytes.compare_exchange_weak(peak, held)) {
        }
        return memory;
    }
    throw std::bad_alloc();
}

void Free(void* memory) {
    if (memory != nullptr) {
        heldBytes.fetch_sub(malloc_usable_size(memory), std::memory_order_relaxed);
        std::free(memory);
    }
}
} // namespace

void* operator new(std::size_t size) {
    return Allocate(size);
}
void* operator new[](std::size_t size) {
    return Allocate(size);
}
// The forms that give nothing instead of raising (a stable sort's buffer):
// without them such memory would be freed by the delete below.
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return Allocate(size);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return Allocate(size);
    } catch (...) {
        return nullptr;
    }
}
void operator delete(void* memory, const std::nothrow_t&) noexcept {
    Free(memory);
}
void operator delete[](void* memory, const std::nothrow_t&) noexcept {
    Free(memory);
}
void operator delete(void* memory) noexcept {
    Free(memory);
}
void operator delete[](void* memory) noexcept {
    Free(memory);
}
void operator delete(void* memory, std::size_t) noexcept {
    Free(memory);
}
void operator delete[](void* memory, std::size_t) noexcept {
    Free(memory);
}

namespace vidarium::testing {
namespace {

namespace fs = std::filesystem;

LoadedMovie LoadBytes(const Bytes& bytes) {
    return LoadMovie(bytes);
}

Bytes MovieHeader(std::uint32_t seconds) {
    return Atom("mvhd", TimeHeaderPayload(1, seconds));
}

Bytes Wrapped(Bytes inner, int levels) {
    for (int i = 0; i < levels; ++i) {
        inner = Atom("udta", inner);
    }
    return inner;
}

TEST(Bounds, AtomNestingDepth) {
    // Top-level atoms stand at depth 0; containers are entered up to depth 64.
    EXPECT_EQ(LoadBytes(Wrapped(MovieHeader(7), 64)).reader->DurationMs, 7000u);
    EXPECT_EQ(LoadBytes(Wrapped(MovieHeader(7), 65)).reader->DurationMs, 0u);
    // The same bound inside an expanded movie header.
    EXPECT_EQ(LoadBytes(CompressedMovie(Wrapped(MovieHeader(7), 64))).reader->DurationMs, 7000u);
    EXPECT_EQ(LoadBytes(CompressedMovie(Wrapped(MovieHeader(7), 65))).reader->DurationMs, 0u);
}

TEST(Bounds, CompressedHeadersNestedInExpandedData) {
    // Four compressed headers, each inside the expansion of the one before,
    // are expanded; a fifth is not.
    Bytes four = MovieHeader(3);
    for (int i = 0; i < 4; ++i) {
        four = CompressedMovie(four);
    }
    EXPECT_EQ(LoadBytes(four).reader->DurationMs, 3000u);
    EXPECT_EQ(LoadBytes(CompressedMovie(four)).reader->DurationMs, 0u);
}

TEST(Bounds, AtomNodesPerLoad) {
    const auto withEmptyAtomsBefore = [](std::size_t count) {
        Bytes bytes;
        bytes.reserve(count * 8 + 200);
        for (std::size_t i = 0; i < count; ++i) {
            AppendBe32(bytes, 8);
            AppendText(bytes, "free");
        }
        const Bytes movie = Atom("moov", MovieHeader(5));
        bytes.insert(bytes.end(), movie.begin(), movie.end());
        return bytes;
    };
    // The movie's two nodes still fit under the bound, then no longer do.
    EXPECT_EQ(LoadBytes(withEmptyAtomsBefore(CQuickTimeReader::kMaxAtoms - 2)).reader->DurationMs,
              5000u);
    EXPECT_EQ(LoadBytes(withEmptyAtomsBefore(CQuickTimeReader::kMaxAtoms - 1)).reader->DurationMs,
              0u);
}

TEST(Bounds, AviChunksPerLoad) {
    const Bytes hdrl =
        List("hdrl", {Chunk("avih", AviMainHeaderPayload(40000, 25)),
                      List("strl", {Chunk("strh", StreamHeaderPayload("vids", "DIVX", 1, 25)),
                                    Chunk("strf", BitmapInfoPayload(320, 240, "DIVX"))}),
                      List("strl", {Chunk("strh", StreamHeaderPayload("auds", "", 1, 44100)),
                                    Chunk("strf", WaveFormatPayload(0x55, 2, 44100, 16000))})});
    constexpr std::uint32_t kHeaderChunks = 8; // hdrl, avih, and two strl with strh and strf
    const auto withJunkBefore = [&](std::uint32_t count) {
        Bytes bytes;
        AppendText(bytes, "RIFF");
        AppendLe32(bytes, 0);
        AppendText(bytes, "AVI ");
        bytes.reserve(count * 10 + hdrl.size() + 12);
        for (std::uint32_t i = 0; i < count; ++i) {
            AppendText(bytes, "JUNK");
            AppendLe32(bytes, 2);
            AppendLe16(bytes, 0);
        }
        bytes.insert(bytes.end(), hdrl.begin(), hdrl.end());
        const auto riffSize = static_cast<std::uint32_t>(bytes.size() - 8);
        std::memcpy(bytes.data() + 4, &riffSize, 4);
        return bytes;
    };
    CAVIHeaderReader reader;
    MemorySource fits(withJunkBefore(CAVIHeaderReader::kMaxChunks - kHeaderChunks));
    EXPECT_TRUE(reader.LoadFromSource(fits, "fits.avi"));
    EXPECT_EQ(reader.DurationMs, 1000u);
    EXPECT_EQ(reader.ChunksVisited, CAVIHeaderReader::kMaxChunks);
    MemorySource over(withJunkBefore(CAVIHeaderReader::kMaxChunks - kHeaderChunks + 1));
    EXPECT_FALSE(reader.LoadFromSource(over, "over.avi"));
    EXPECT_FALSE(reader.HasAudioFormat);
    EXPECT_EQ(reader.ChunksVisited, CAVIHeaderReader::kMaxChunks);
}

TEST(Bounds, AviModernRowReadsOneIndexWithinItsRiff) {
    // Lists 20 bytes apart, each naming a 1 MiB index: every one was read,
    // a MiB from its start, and a 1 MiB file cost 27 GB of reads.
    Bytes pastTheRiff = AviFile();
    pastTheRiff.resize(pastTheRiff.size() - 24);
    Bytes entry;
    AppendText(entry, "00dc");
    AppendLe32(entry, 0x10);
    AppendLe32(entry, 4);
    AppendLe32(entry, 1000);
    pastTheRiff = Concat({pastTheRiff, Chunk("idx1", entry, 32)});
    const auto riffSize = static_cast<std::uint32_t>(pastTheRiff.size() - 8);
    std::memcpy(pastTheRiff.data() + 4, &riffSize, 4);
    pastTheRiff = Concat({pastTheRiff, entry}); // an entry after the RIFF's end
    Bytes dune;
    AppendText(dune, "Dune");
    const Bytes infoPastItsList = AviFileWithFirst(List("INFO", {Chunk("INAM", dune, 100)}));
    // An index inside a list, before the file's own (of one empty entry).
    const Bytes indexInAList = AviFileWithFirst(List("abcd", {Chunk("idx1", entry)}));
    const struct {
        const char* name;
        Bytes bytes;
        std::uint64_t indexedVideoBytes;
        bool indexWhole;
        std::string title;
    } cases[] = {
        {"nested indexes", AviNestedIndexes(256U << 10), 1000, true, ""},
        {"an index past the RIFF's end", pastTheRiff, 1000, false, ""},
        {"an index inside a list", indexInAList, 0, true, ""},
        {"a title past its list", infoPastItsList, 0, true, "Dune"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        MemorySource source(c.bytes);
        CAVIHeaderReader reader;
        ASSERT_TRUE(reader.LoadStreams(source, "shape.avi"));
        EXPECT_EQ(reader.IndexedVideoBytes, c.indexedVideoBytes);
        EXPECT_EQ(reader.IndexWhole, c.indexWhole);
        const MediaSummary summary = reader.StreamSummary(source.Size());
        EXPECT_EQ(summary.Metadata.empty() ? "" : summary.Metadata.front().Text, c.title);
        EXPECT_LE(source.BytesFetched(), 2 * c.bytes.size());
    }
}

TEST(Bounds, OverlappingAtomsLoadAFileAtMostOnce) {
    // Each unit is a "udta" of 16 bytes holding the header of a text item
    // that runs to the end of the file; the walk resumes inside that item, so
    // without the budget every unit loads the rest of the file again.
    constexpr int kUnits = 4096;
    Bytes bytes;
    for (int i = 0; i < kUnits; ++i) {
        const Bytes unit = Container("udta", {Atom("\xA9nam", {}, 0x03FFFFF0)}, 16);
        bytes.insert(bytes.end(), unit.begin(), unit.end());
    }
    const auto loaded = LoadBytes(bytes);
    EXPECT_LE(loaded.reader->LoadedPayloadBytes(), bytes.size());
    EXPECT_LT(CommentsOf(*loaded.reader).size(), 2 * bytes.size());
}

TEST(Bounds, SiblingLookupsWalkEachChildListOnce) {
    // 100,000 sibling atoms that each look up a sibling or an ancestor's
    // child: the compressed movie header's method beside every "cmvd", and
    // the media header and handler three levels above every "stsd" (here the
    // top level, 100,000 atoms wide). Searched from the start each time, a
    // load would walk 10^10 children.
    constexpr std::size_t kSiblings = 100'000;
    Bytes compressed;
    Bytes descriptions;
    for (std::size_t i = 0; i < kSiblings; ++i) {
        const Bytes cmvd = Atom("cmvd", {0, 0, 0, 0});
        compressed.insert(compressed.end(), cmvd.begin(), cmvd.end());
        const Bytes track = Container("moov", {Container("udta", {Atom("stsd", {})})});
        descriptions.insert(descriptions.end(), track.begin(), track.end());
    }
    for (const Bytes& file : {Atom("moov", Atom("cmov", compressed)), descriptions}) {
        const auto loaded = LoadBytes(file);
        EXPECT_FALSE(loaded.ok);
        EXPECT_LE(loaded.reader->ChildrenSearched(), kSiblings);
    }
}

TEST(Bounds, OverlappingContainersFetchAFewTimesTheFile) {
    // Units of 16 KiB: a container of the unit's size holds a container that
    // claims to run to the end of the file, whose walk goes on into the next
    // unit. Each level then walks the rest of the file again: without the
    // walk's budget a 512 KiB file fetches gigabytes, block by block.
    constexpr std::uint32_t kUnit = 16 * 1024;
    constexpr std::uint32_t kUnits = 32;
    Bytes bytes;
    for (std::uint32_t i = 0; i < kUnits; ++i) {
        const std::uint32_t toEnd = (kUnits - i) * kUnit - 8;
        Bytes unit = Container(
            "udta", {Container("udta", {Atom("free", Repeat(0, kUnit - 24))}, toEnd)}, kUnit);
        bytes.insert(bytes.end(), unit.begin(), unit.end());
    }
    TempDir dir;
    WriteFile(dir / "overlap.mov", bytes);
    const FileActivity before = FileSource::Activity();
    const auto loaded = LoadMovie(dir / "overlap.mov");
    const std::uint64_t fetched = FileSource::Activity().BytesRead - before.BytesRead;
    EXPECT_LE(fetched,
              2 * bytes.size() + CQuickTimeReader::kWalkSlackBytes + FileSource::kBlockSize);
    EXPECT_EQ(loaded.reader->WalkedBytes(), fetched);
}

TEST(Bounds, StopEndsALoadInProgress) {
    // The flag is set once the load has read a little: the walk ends at the
    // next atom or chunk, and the cause under the reader error says why.
    class StoppingSource final : public ByteSource {
    public:
        StoppingSource(Bytes bytes, std::atomic<bool>& flag)
            : inner_(std::move(bytes)), flag_(flag) {}
        std::int64_t Size() override { return inner_.Size(); }
        std::int64_t Position() const override { return inner_.Position(); }
        std::size_t Read(std::span<std::uint8_t> buffer) override {
            if (++reads_ == 100) {
                flag_ = true;
            }
            return inner_.Read(buffer);
        }
        std::int64_t Seek(std::int64_t position) override { return inner_.Seek(position); }
        std::uint64_t BytesFetched() const override { return inner_.BytesFetched(); }

    private:
        MemorySource inner_;
        std::atomic<bool>& flag_;
        int reads_ = 0;
    };
    const auto stoppedByFlag = [](const ReaderError& error) {
        try {
            std::rethrow_if_nested(error);
        } catch (const LoadStopped&) {
            return true;
        } catch (...) {
        }
        return false;
    };
    Bytes atoms;
    Bytes chunks = Riff("AVI ", {});
    for (int i = 0; i < 100'000; ++i) {
        AppendBe32(atoms, 8);
        AppendText(atoms, "free");
        AppendText(chunks, "JUNK");
        AppendLe32(chunks, 0 + 2);
        AppendLe16(chunks, 0);
    }
    const auto riffSize = static_cast<std::uint32_t>(chunks.size() - 8);
    std::memcpy(chunks.data() + 4, &riffSize, 4);
    std::atomic<bool> flag{false};
    CQuickTimeReader movie;
    movie.WatchStopFlag(&flag);
    StoppingSource movieSource(atoms, flag);
    try {
        movie.LoadFromSource(movieSource, "stopped.mov");
        ADD_FAILURE() << "the load was not stopped";
    } catch (const ReaderError& error) {
        EXPECT_TRUE(stoppedByFlag(error));
    }
    std::size_t nodes = 0;
    for (const AtomNode* node = movie.Root.FirstChild; node != nullptr; node = node->Next) {
        ++nodes;
    }
    EXPECT_LE(nodes, 100u);

    flag = false;
    CAVIHeaderReader avi;
    avi.WatchStopFlag(&flag);
    StoppingSource aviSource(chunks, flag);
    try {
        avi.LoadFromSource(aviSource, "stopped.avi");
        ADD_FAILURE() << "the load was not stopped";
    } catch (const ReaderError& error) {
        EXPECT_TRUE(stoppedByFlag(error));
    }
    EXPECT_LE(avi.ChunksVisited, 100u);
}

TEST(Bounds, PayloadsOfOneLoadAndTheLargestDataAtom) {
    // A sparse file: five text items of just under 64 MiB each add up to more
    // than 256 MiB, so the fifth is not loaded; an item over 64 MiB never is.
    TempDir dir;
    const fs::path path = dir / "large.mov";
    constexpr std::uint32_t kItem = 63U << 20;
    Bytes head;
    AppendBe32(head, 8 + 5 * (8 + kItem));
    AppendText(head, "udta");
    WriteFile(path, head);
    std::uint64_t at = head.size();
    for (int i = 0; i < 5; ++i) {
        Bytes item;
        AppendBe32(item, 8 + kItem);
        AppendText(item, "\xA9inf");
        item.push_back('a');
        WriteAt(path, at, item);
        at += 8 + kItem;
        fs::resize_file(path, at);
    }
    auto loaded = LoadMovie(path);
    EXPECT_EQ(loaded.reader->LoadedPayloadBytes(), 4U * kItem);
    const std::string comments = CommentsOf(*loaded.reader);
    EXPECT_EQ(std::count(comments.begin(), comments.end(), '\n'), 4);

    for (const std::uint32_t size :
         {CQuickTimeReader::kMaxDataAtom, CQuickTimeReader::kMaxDataAtom + 1}) {
        const fs::path one = dir / ("one" + std::to_string(size) + ".mov");
        Bytes atom;
        AppendBe32(atom, 8 + 8 + size);
        AppendText(atom, "udta");
        AppendBe32(atom, 8 + size);
        AppendText(atom, "\xA9nam");
        atom.insert(atom.end(), {0, 1, 0, 0, 'b'}); // length, language, text
        WriteFile(one, atom);
        fs::resize_file(one, 16 + std::uint64_t{size});
        loaded = LoadMovie(one);
        const bool held = size <= CQuickTimeReader::kMaxDataAtom;
        EXPECT_EQ(loaded.reader->LoadedPayloadBytes(), held ? size : 0U) << size;
        EXPECT_EQ(CommentsOf(*loaded.reader), held ? "Full Name: b\r\n" : "") << size;
    }
}

TEST(Bounds, ExpansionHoldsOnlyWhatItProduces) {
    // A declared expanded size of 60 MiB over a stream of a few dozen bytes:
    // nothing near the declared size is allocated.
    const Bytes movie = Atom("moov", MovieHeader(9));
    const Bytes file = CompressedMovie(movie, 60U << 20);
    largestAllocation = 0;
    const auto loaded = LoadBytes(file);
    EXPECT_EQ(loaded.reader->DurationMs, 9000u);
    EXPECT_LT(largestAllocation.load(), std::size_t{1} << 20);

    // Thousands of such headers with empty streams cost next to nothing each.
    Bytes many;
    for (int i = 0; i < 2000; ++i) {
        const Bytes empty = CompressedMovieStream({0x78, 0x9C}, 64U << 20);
        many.insert(many.end(), empty.begin(), empty.end());
    }
    largestAllocation = 0;
    EXPECT_FALSE(LoadBytes(many).ok);
    EXPECT_LT(largestAllocation.load(), std::size_t{1} << 20);

    // A stream that expands past the budget fails without holding its bytes.
    const Bytes bomb = CompressedMovieStream(ZlibCompressFilled({}, 0, 300U << 20), 0);
    largestAllocation = 0;
    const auto exploded = LoadBytes(bomb);
    EXPECT_EQ(exploded.reader->ExpandedBytes(), CQuickTimeReader::kExpansionBudget);
    EXPECT_LT(largestAllocation.load(), std::size_t{4} << 20);
}

TEST(Bounds, ModernExpansionIsWhatTheFileCanDescribe) {
    // A 64 KB movie whose header expands to 63 MiB: the MP4 reader held the
    // expansion twice over (210 MB), then the classic reader expanded it
    // again. The classic row still comes, from its own bounds.
    const Bytes small = MovExpansion(63U << 20);
    MemorySource source(small);
    CIsoReader iso;
    peakHeldBytes = heldBytes.load();
    const std::size_t before = heldBytes.load();
    EXPECT_FALSE(iso.LoadFromSource(source, "small.mov"));
    EXPECT_LT(peakHeldBytes.load() - before, CIsoReader::kMinMovieExpansion + (1U << 20));
    EXPECT_EQ(LoadBytes(small).reader->DurationMs, 9000u);

    // Within what the file can describe, the expansion is held once.
    const Bytes fits = MovExpansion(6U << 20);
    MemorySource fitting(fits);
    peakHeldBytes = heldBytes.load();
    EXPECT_TRUE(iso.LoadFromSource(fitting, "fits.mov"));
    EXPECT_EQ(iso.Summary.Width, 640);
    EXPECT_LT(peakHeldBytes.load() - before, (6U << 20) + (6U << 20) / 2);
}

TEST(Bounds, ExpansionsShareOneBudgetPerLoad) {
    // Three compressed headers of 100 MiB each: the first two fit in the
    // 256 MiB budget, the third runs past it and is a fault of its step, and
    // every byte it produced counts.
    const auto header = [](std::uint32_t seconds) {
        constexpr std::size_t kExpanded = 100U << 20;
        Bytes head = Atom("moov", MovieHeader(seconds));
        AppendBe32(head, static_cast<std::uint32_t>(kExpanded - head.size()));
        AppendText(head, "free");
        return CompressedMovieStream(ZlibCompressFilled(head, 0, kExpanded - head.size()), 0);
    };
    const Bytes file = Concat({header(1), header(2), header(3), header(4)});
    const auto loaded = LoadBytes(file);
    EXPECT_EQ(loaded.reader->DurationMs, 2000u);
    EXPECT_EQ(loaded.reader->ExpandedBytes(), CQuickTimeReader::kExpansionBudget);
}

TEST(Bounds, FaultCauseStaysReachable) {
    // The user sees the reader error; a test can still ask why.
    MemorySource source(Atom("moov", Atom("mvhd", TimeHeaderPayload(1, 4294968))));
    CQuickTimeReader reader;
    try {
        reader.LoadFromSource(source, "x.mov");
        FAIL();
    } catch (const ReaderError& error) {
        EXPECT_STREQ(
            error.what(),
            "Exception: CQuickTimeReader.LoadFromFile(): File: x.mov (movreader, line 660)");
        try {
            std::rethrow_if_nested(error);
            FAIL();
        } catch (const ReaderFault& cause) {
            EXPECT_STREQ(cause.what(), "value out of 32-bit range");
        }
    }
}

// Matroska shapes: a stated duration, none (the last block's end), the 0
// that Firefox writes, a seek head that points back into itself or past the
// file, and a child that does not fit its parent.
TEST(Bounds, MatroskaShapes) {
    const Bytes seekSelf = Ebml(
        0x114D9B74,
        Concat({Ebml(0x4DBB, Concat({Ebml(0x53AB, {0x16, 0x54, 0xAE, 0x6B}), EbmlUint(0x53AC, 0)})),
                Ebml(0x4DBB, Concat({Ebml(0x53AB, {0x12, 0x54, 0xC3, 0x67}),
                                     EbmlUint(0x53AC, 1U << 30)}))}));
    Bytes misfit = MatroskaFile();
    misfit[misfit.size() - 40] = 0x01; // a block's size that runs past its cluster
    const struct {
        const char* name;
        Bytes bytes;
        std::optional<std::int64_t> duration;
    } cases[] = {
        {"stated", MatroskaFile(), 5000},
        {"none stated", MatroskaFile(-1), 1000},
        {"zero", MatroskaFile(0), 1000},
        {"seek head into itself", MatroskaFile(5000, 4000, seekSelf), 5000},
        {"misfit", misfit, 5000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CMatroskaReader reader;
        MemorySource source(c.bytes);
        ASSERT_TRUE(reader.LoadFromSource(source, "shape.webm"));
        EXPECT_EQ(reader.Summary.DurationMs, c.duration);
        EXPECT_EQ(reader.Summary.Width, 640);
        EXPECT_EQ(reader.Summary.AudioLanguages, std::vector<std::string>{"fre"});
        EXPECT_LT(reader.ElementsSeen(), 40u);
    }
}

// A video track without a frame duration whose pictures are larger than
// the first window: its rate from the first cluster's blocks walked by
// their headers (after its checksum and time, as ffmpeg writes them), at
// most a few dozen small reads, also when the cluster is nothing but tiny
// elements.
TEST(Matroska, RateOfLargePicturesWithoutAFrameDuration) {
    const auto file = [](const Bytes& blocks) {
        const Bytes video = Ebml(
            0xAE, Concat({EbmlUint(0xD7, 1), EbmlUint(0x83, 1), EbmlText(0x86, "V_MPEG4/ISO/AVC"),
                          Ebml(0xE0, Concat({EbmlUint(0xB0, 1920), EbmlUint(0xBA, 1080)}))}));
        const Bytes info = Concat({EbmlUint(0x2AD7B1, 1'000'000), EbmlFloat(0x4489, 400)});
        return Concat(
            {Ebml(0x1A45DFA3, EbmlText(0x4282, "matroska")),
             Ebml(0x18538067, Concat({Ebml(0x1549A966, info), Ebml(0x1654AE6B, video),
                                      Ebml(0x1F43B675, Concat({Ebml(0xBF, {0, 0, 0, 0}),
                                                               EbmlUint(0xE7, 0), blocks}))}))});
    };
    Bytes pictures;
    for (std::uint8_t frame = 0; frame < 10; ++frame) {
        // Track 1 at 40 ms steps, each picture 96 KiB; a sound block between.
        const unsigned time = frame * 40U;
        Bytes block{0x81, static_cast<std::uint8_t>(time >> 8), static_cast<std::uint8_t>(time),
                    0x80};
        block.resize(96 << 10, 0x55);
        pictures = Concat({pictures, Ebml(0xA3, block), Ebml(0xA3, {0x82, 0, 1, 0x80, 0})});
    }
    MemorySource source(file(pictures));
    CountingSource counted(source);
    CMatroskaReader reader;
    ASSERT_TRUE(reader.LoadFromSource(counted, "large.mkv"));
    EXPECT_EQ(reader.Summary.FrameRate, 25.0);
    EXPECT_LE(counted.reads, 2 * CMatroskaReader::kSteppedElements + 16);

    Bytes tiny;
    for (int i = 0; i < 100'000; ++i) {
        tiny.insert(tiny.end(), {0xEC, 0x80});
    }
    tiny = Concat({Ebml(0xA3,
                        [] {
                            Bytes big{0x81, 0, 0, 0x80};
                            big.resize(96 << 10, 0);
                            return big;
                        }()),
                   tiny});
    MemorySource tinySource(file(tiny));
    CountingSource tinyCounted(tinySource);
    CMatroskaReader tinyReader;
    ASSERT_TRUE(tinyReader.LoadFromSource(tinyCounted, "tiny.mkv"));
    EXPECT_FALSE(tinyReader.Summary.FrameRate);
    EXPECT_LE(tinyCounted.reads, 2 * CMatroskaReader::kSteppedElements + 16);
}

TEST(Bounds, MatroskaElementsPerLoad) {
    // 1,200,000 empty elements in the segment information.
    Bytes voids;
    for (int i = 0; i < 1'200'000; ++i) {
        voids.insert(voids.end(), {0xEC, 0x80});
    }
    const Bytes bytes = MatroskaFile(5000, 4000, Ebml(0x1549A966, voids));
    CMatroskaReader reader;
    MemorySource source(bytes);
    reader.LoadFromSource(source, "voids.webm");
    EXPECT_LE(reader.ElementsSeen(), CMatroskaReader::kMaxElements + 16);
    EXPECT_GT(reader.ElementsSeen(), CMatroskaReader::kMaxElements / 2);

    // A file without a duration whose last megabyte is cluster IDs: the
    // search back over them is one pass, its elements within the bound.
    Bytes tail = MatroskaFile(-1);
    for (int i = 0; i < 1 << 18; ++i) {
        tail.insert(tail.end(), {0x1F, 0x43, 0xB6, 0x75});
    }
    CMatroskaReader clusters;
    MemorySource clusterSource(tail);
    EXPECT_TRUE(clusters.LoadFromSource(clusterSource, "clusters.webm"));
    EXPECT_FALSE(clusters.Summary.DurationMs);
    EXPECT_LE(clusters.ElementsSeen(), CMatroskaReader::kMaxElements + 16);
}

// A transport stream's windows: a stream whose headers lie at its ends
// costs two small reads whatever its size; one without them grows each
// window to its largest, no further.
TEST(Bounds, TransportStreamWindows) {
    const Bytes described = TransportStream(900000, 50'000);
    MemorySource source(described);
    CTsReader reader;
    ASSERT_TRUE(reader.LoadFromSource(source, "described.ts"));
    EXPECT_EQ(reader.Summary.DurationMs, 10'040);
    EXPECT_EQ(reader.Summary.Width, 352);
    EXPECT_EQ(reader.Summary.FrameRate, 25.0);
    EXPECT_EQ(reader.Summary.AudioCodec, "MP2");
    EXPECT_LE(source.BytesFetched(), 2 * CTsReader::kFirstWindow);

    // The tables, then only null packets: nothing to find at either end.
    const Bytes bare(described.begin(), described.begin() + 2 * 188);
    Bytes empty = bare;
    const Bytes fill(described.end() - 2 * 188, described.end() - 188);
    for (int i = 0; i < 50'000; ++i) {
        empty.insert(empty.end(), fill.begin(), fill.end());
    }
    MemorySource emptySource(empty);
    CTsReader emptyReader;
    EXPECT_TRUE(emptyReader.LoadFromSource(emptySource, "empty.ts"));
    EXPECT_FALSE(emptyReader.Summary.DurationMs);
    EXPECT_GE(emptySource.BytesFetched(), 2 * CTsReader::kMaxWindow - 2 * 188);
    EXPECT_LE(emptySource.BytesFetched(), 2 * CTsReader::kMaxWindow);
}

// Sound of the newer broadcast codecs, alone in a programme: MPEG-H by its
// stream type, AC-4 by its registration or DVB extension descriptor.
TEST(TransportStream, NewerSoundCodecsGiveARow) {
    const Bytes pat{0x00, 0x00, 0xB0, 0x0D, 0x00, 0x01, 0xC1, 0x00, 0x00,
                    0x00, 0x01, 0xF0, 0x00, 0x00, 0x00, 0x00, 0x00};
    const struct {
        std::uint8_t type;
        Bytes descriptors;
        const char* codec;
    } cases[] = {
        {0x2D, {}, "MPEG-H 3D Audio"},
        {0x06, {0x05, 4, 'A', 'C', '-', '4'}, "AC-4"},
        {0x06, {0x7F, 1, 0x15}, "AC-4"},
    };
    for (const auto& c : cases) {
        const auto length = static_cast<std::uint8_t>(c.descriptors.size());
        const Bytes pmt =
            Concat({{0x00, 0x02, 0xB0, static_cast<std::uint8_t>(18 + length), 0x00, 0x01, 0xC1,
                     0x00, 0x00, 0xE1, 0x01, 0xF0, 0x00, c.type, 0xE1, 0x01, 0xF0, length},
                    c.descriptors,
                    Bytes(4, 0)});
        MemorySource source(Concat({TsPacket(0x0000, true, pat), TsPacket(0x1000, true, pmt),
                                    TsPacket(0x0101, true, PesPacket(0xBD, 0, {0, 0})),
                                    TsPacket(0x0101, true, PesPacket(0xBD, 90000, {0, 0}))}));
        CTsReader reader;
        ASSERT_TRUE(reader.LoadFromSource(source, "sound.ts")) << c.codec;
        EXPECT_EQ(reader.Summary.AudioCodec, c.codec);
        EXPECT_EQ(reader.Summary.DurationMs, 1000);
    }
}

// A DTS-HD extension substream's first asset: 48 kHz and 8 channels; cut
// short, it states nothing.
TEST(TransportStream, DtsHdSubstreamGivesThePresentationsChannels) {
    // User bits, substream 0, narrow sizes, header and frame sizes; static
    // fields: clock and duration, no time stamp, one presentation and asset,
    // their masks, no mixing, the asset's size; its descriptor: size and
    // index, no type, language or text, 24 bits, 48 kHz, 8 channels.
    std::string fields = "00000000 00 0 00000000 0000000000000000 1 00000 0 000000 1 00000001 0 "
                         "0000000000000000 000000000000 000 10111 1100 00000111";
    std::erase(fields, ' ');
    Bytes header{0x64, 0x58, 0x20, 0x25};
    for (std::size_t at = 0; at < fields.size(); at += 8) {
        const std::string byte = (fields.substr(at, 8) + "0000000").substr(0, 8);
        header.push_back(static_cast<std::uint8_t>(std::stoul(byte, nullptr, 2)));
    }
    header.resize(header.size() + 4, 0);
    EXPECT_EQ(DecodeDtsSubstreamHeader(header).SampleRate, 48000u);
    EXPECT_EQ(DecodeDtsSubstreamHeader(header).Channels, 8u);
    EXPECT_EQ(DecodeDtsSubstreamHeader(Bytes(header.begin(), header.begin() + 16)).Channels, 0u);
}

// ADTS states its rate by index alone: 13 to 15 name none (the next bits
// were taken for a rate, "1050335" for a mono clip).
TEST(TransportStream, AdtsRateIndexWithoutARate) {
    for (const auto& [index, rate] : {std::pair{3U, 48000U}, {12U, 7350U}, {13U, 0U}, {15U, 0U}}) {
        SCOPED_TRACE(index);
        // Sync, MPEG-4, layer 0, no CRC; AAC LC, the index, private bit, one
        // channel.
        const Bytes frame{0xFF, 0xF1, static_cast<std::uint8_t>(0x40 | (index << 2)), 0x40, 0x00,
                          0x1F, 0xFC};
        EXPECT_EQ(DecodeAdtsHeader(frame).SampleRate, rate);
        EXPECT_EQ(DecodeAdtsHeader(frame).Channels, 1U);
    }
}

// AAC's rate, which no ADTS header states: its whole frames over their
// samples (1,024 to a raw data block), once 16 follow one another; a frame
// the bytes cut short is not counted.
TEST(TransportStream, AdtsRateFromTheFramesSizes) {
    const auto frames = [](std::size_t count, std::size_t length, unsigned blocks) {
        Bytes bytes;
        for (std::size_t i = 0; i < count; ++i) {
            // Sync, MPEG-4, no CRC; AAC LC at 48 kHz, two channels, the
            // frame's length, full buffer, its raw data blocks less one.
            Bytes frame{0xFF,
                        0xF1,
                        0x4C,
                        static_cast<std::uint8_t>(0x80 | (length >> 11)),
                        static_cast<std::uint8_t>(length >> 3),
                        static_cast<std::uint8_t>(((length & 7) << 5) | 0x1F),
                        static_cast<std::uint8_t>(0xFC | (blocks - 1))};
            frame.resize(length, 0x21);
            bytes = Concat({bytes, frame});
        }
        return bytes;
    };
    const Bytes whole = frames(1, 1000, 1);
    const Bytes cut(whole.begin(), whole.begin() + 300);
    const struct {
        const char* name;
        Bytes stream;
        std::uint32_t bitRate;
    } cases[] = {
        {"16 frames", frames(16, 200, 1), 75000},
        {"15 frames", frames(15, 200, 1), 0},
        {"two blocks a frame", frames(16, 400, 2), 75000},
        {"after other bytes, before others", Concat({Bytes{1, 2, 3}, frames(16, 200, 1), {9, 9}}),
         75000},
        {"the last cut short", Concat({frames(16, 200, 1), cut}), 75000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const elementary::SoundFormat sound = elementary::DescribeSound(Codec::Aac, c.stream);
        EXPECT_EQ(sound.Details.SampleRate, 48000U);
        EXPECT_EQ(sound.Details.BitRate, c.bitRate);
    }
}

// Windows Media headers: the extended stream properties give the frame
// and bit rates; a broadcast has no duration; a header object that claims
// more than the file holds is read as far as the file goes.
TEST(Bounds, WindowsMediaShapes) {
    const struct {
        const char* name;
        AsfParams params;
        std::optional<std::int64_t> duration;
        std::optional<double> frameRate;
        const char* container;
    } cases[] = {
        {"extended", {}, 5000, 25.0, "WMV"},
        {"plain", {.extended = false}, 5000, std::nullopt, "WMV"},
        {"plain, the header's rate",
         {.extended = false, .maxBitRate = 628'000},
         5000,
         std::nullopt,
         "WMV"},
        {"broadcast", {.broadcast = true}, std::nullopt, 25.0, "WMV"},
        {"MS-MPEG4", {.videoCode = "MP43"}, 5000, 25.0, "ASF"},
        {"claims 1 GiB", {.declaredSize = 1U << 30}, 5000, 25.0, "WMV"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes bytes = AsfFile(c.params);
        MemorySource source(bytes);
        CAsfReader reader;
        ASSERT_TRUE(reader.LoadFromSource(source, "shape.asf"));
        const MediaSummary& summary = reader.Summary;
        EXPECT_EQ(summary.Container, c.container);
        EXPECT_EQ(summary.DurationMs, c.duration);
        EXPECT_EQ(summary.FrameRate, c.frameRate);
        EXPECT_EQ(summary.Width, 320);
        // Stated, else the header's rate less the sound's.
        EXPECT_EQ(summary.VideoBitRate, c.params.extended ? std::optional<std::int64_t>(400'000)
                                        : c.params.maxBitRate > 0
                                            ? std::optional<std::int64_t>(500'000)
                                            : std::nullopt);
        EXPECT_EQ(summary.AudioCodec, "WMA v2");
        EXPECT_EQ(summary.Channels, 2);
        EXPECT_EQ(summary.AudioBitRate, 128'000);
        EXPECT_EQ(summary.Metadata, (std::vector<MetadataItem>{{"Title", "Harbour"}}));
        EXPECT_LE(source.BytesFetched(), bytes.size());
    }
}

// FLV's script data: onMetaData read past objects nested up to the bound,
// and not past a deeper one; a script tag larger than the first block read
// once more, whole; without metadata, the values from the tags and the
// last tag's time.
TEST(Bounds, FlashVideoShapes) {
    const auto nested = [](int depth) {
        Bytes value{3};
        for (int i = 1; i < depth; ++i) {
            value = Concat({value, AmfProperty("n", {3})});
        }
        for (int i = 0; i < depth; ++i) {
            value = Concat({value, Bytes{0, 0, 9}});
        }
        return AmfProperty("deep", value);
    };
    Bytes properties;
    for (std::size_t i = 0; i < CFlvReader::kMaxProperties; ++i) {
        properties = Concat({properties, AmfNumber("p", 1)});
    }
    const Bytes stated = Concat({AmfNumber("duration", 7.5), AmfNumber("framerate", 26),
                                 AmfNumber("videodatarate", 500), AmfString("title", "Harbour")});
    const struct {
        const char* name;
        Bytes metadata;
        std::int64_t duration;
        double frameRate;
        std::size_t reads;
    } cases[] = {
        {"stated", stated, 7500, 26, 1},
        // A rate the tags' times do not bear out: theirs.
        {"stated ten times over", Concat({AmfNumber("framerate", 250)}), 2000, 25, 2},
        {"nested to the bound", Concat({nested(CFlvReader::kMaxNesting), stated}), 7500, 26, 1},
        {"nested past it", Concat({nested(CFlvReader::kMaxNesting + 1), stated}), 2000, 25, 2},
        {"larger than the block", Concat({AmfString("pad", std::string(40'000, 'x')), stated}),
         7500, 26, 2},
        {"past the property bound", Concat({properties, stated}), 2000, 25, 2},
        {"none", {}, 2000, 25, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes bytes = Concat({FlvFile(c.metadata), Repeat(0, 0)});
        MemorySource memory(bytes);
        CountingSource source(memory);
        CFlvReader reader;
        ASSERT_TRUE(reader.LoadFromSource(source, "shape.flv"));
        const MediaSummary& summary = reader.Summary;
        EXPECT_EQ(summary.DurationMs, c.duration);
        EXPECT_EQ(summary.FrameRate, c.frameRate);
        EXPECT_EQ(summary.Width, 320);
        EXPECT_EQ(summary.Height, 240);
        EXPECT_EQ(summary.VideoCodec, "Sorenson Spark");
        EXPECT_EQ(summary.AudioCodec, "MP3");
        EXPECT_EQ(summary.Channels, 2);
        EXPECT_EQ(summary.SampleRate, 44100);
        EXPECT_LE(source.reads, c.reads + 1); // and the 9 bytes of the header
    }

    // A script tag past the bound: its start still names the values, and
    // no more than the bound and a block is read.
    Bytes pad;
    for (int i = 0; i < 20; ++i) {
        pad = Concat({pad, AmfString("pad", std::string(60'000, 'x'))});
    }
    const Bytes huge = FlvFile(Concat({stated, AmfNumber("videocodecid", 2),
                                       AmfNumber("width", 640), AmfNumber("height", 360), pad}));
    MemorySource source(huge);
    CFlvReader reader;
    ASSERT_TRUE(reader.LoadFromSource(source, "huge.flv"));
    EXPECT_EQ(reader.Summary.DurationMs, 7500);
    EXPECT_EQ(reader.Summary.Width, 640);
    EXPECT_EQ(reader.Summary.VideoCodec, "Sorenson Spark");
    EXPECT_LE(source.BytesFetched(), CFlvReader::kMaxScriptTag + 2 * CFlvReader::kHeadWindow + 64);
}

// Sound whose codec header is empty, absent or says nothing of its rate:
// the tag's flags (a muxer's own, per tag) over the metadata's "stereo",
// AAC's stated rate (its flags always say 44 kHz), and the rates that
// Nellymoser, G.711 and Speex fix.
TEST(FlashVideo, SoundFromTheTagsFlags) {
    const Bytes mono = AmfProperty("stereo", {1, 0});
    const Bytes stereo = AmfProperty("stereo", {1, 1});
    const Bytes at48k = AmfNumber("audiosamplerate", 48000);
    const struct {
        const char* name;
        Bytes sound;
        Bytes metadata;
        const char* codec;
        std::int64_t sampleRate;
        std::int64_t channels;
    } cases[] = {
        {"AAC, empty header, stated mono", {0xAF, 0}, Concat({mono, at48k}), "AAC", 48000, 2},
        {"AAC, no header", {0xAF, 1, 0x21, 0x10}, {}, "AAC", 44100, 2},
        {"AAC, empty header, mono flag", {0xAE, 0}, stereo, "AAC", 44100, 1},
        {"AAC, its header", {0xAE, 0, 0x11, 0x90}, mono, "AAC", 48000, 2},
        {"Nellymoser 8 kHz", {0x52, 0}, at48k, "Nellymoser", 8000, 1},
        {"Speex", {0xB2, 0}, {}, "Speex", 16000, 1},
        {"PCM, 22 kHz stereo", {0x3B, 0, 0}, Concat({mono, at48k}), "PCM", 22050, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        MemorySource source(FlvFile(c.metadata, 2000, c.sound));
        CFlvReader reader;
        ASSERT_TRUE(reader.LoadFromSource(source, "sound.flv"));
        EXPECT_EQ(reader.Summary.AudioCodec, c.codec);
        EXPECT_EQ(reader.Summary.SampleRate, c.sampleRate);
        EXPECT_EQ(reader.Summary.Channels, c.channels);
    }
}

// Ogg: a comment header split across pages; the duration from the last
// Theora page whose checksum holds; no more streams than the bound.
TEST(Bounds, OggShapes) {
    const Bytes file = OggFile(250);
    Bytes damaged = Concat({file, OggPage(1, 4, 999 << 6, {Repeat(9, 300)})});
    damaged[damaged.size() - 100] ^= 0xFF;
    Bytes theoraComments{0x81};
    AppendText(theoraComments, "theora");
    const Bytes comments = VorbisComments(theoraComments, {"TITLE=Split " + std::string(600, 'a')});
    const Bytes split =
        Concat({OggPage(1, 2, 0, {TheoraIdentification()}),
                OggPage(1, 0, 0, {Bytes(comments.begin(), comments.begin() + 510)}, true),
                OggPage(1, 1, 0, {Bytes(comments.begin() + 510, comments.end())}),
                OggPage(1, 0, (20 << 6) + 5, {Repeat(1, 10)})});
    Bytes crowded;
    for (std::uint32_t serial = 1; serial <= 70; ++serial) {
        crowded = Concat({crowded, OggPage(serial, 2, 0, {VorbisIdentification()})});
    }
    const struct {
        const char* name;
        const Bytes& bytes;
        std::int64_t duration;
        int audioTracks;
        std::string title;
    } cases[] = {
        {"whole", file, 10'000, 1, "Harbour"},
        {"damaged last page", damaged, 10'000, 1, "Harbour"},
        {"split comments", split, 1000, 0, "Split " + std::string(600, 'a')},
        {"crowded", crowded, 0, static_cast<int>(COggReader::kMaxStreams), ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        MemorySource source(c.bytes);
        COggReader reader;
        ASSERT_TRUE(reader.LoadFromSource(source, "shape.ogv"));
        EXPECT_EQ(reader.Summary.DurationMs.value_or(0), c.duration);
        EXPECT_EQ(reader.Summary.AudioTracks, c.audioTracks);
        EXPECT_EQ(reader.Summary.Metadata.empty() ? "" : reader.Summary.Metadata[0].Text, c.title);
    }
}

TEST(Bounds, ProgramStreamShapes) {
    Bytes padding{0x00, 0x00, 0x01, 0xBE, 0x07, 0xE0};
    padding.resize(6 + 0x07E0, 0xFF);
    Bytes onlyPadding;
    for (int i = 0; i < 1500; ++i) {
        onlyPadding = Concat({onlyPadding, PsPack(padding)});
    }
    // Video, then 32 MPEG audio streams and 40 DVD sub-streams.
    Bytes crowded = ProgramStream();
    for (unsigned id = 0xC1; id <= 0xDF; ++id) {
        crowded = Concat({crowded, PsPack(PesPacket(static_cast<std::uint8_t>(id), 0, {0xFF}))});
    }
    for (unsigned sub = 0x20; sub <= 0x47; ++sub) {
        crowded = Concat({crowded, PsPack(PesPacket(0xBD, 0, {static_cast<std::uint8_t>(sub)}))});
    }
    const struct {
        const char* name;
        Bytes bytes;
        bool accepted;
        std::int64_t duration;
        std::int64_t videoBitRate; // -1: none; 0: not the stated one
        int tracks;
        std::uint64_t mostFetched;
    } cases[] = {
        {"whole", ProgramStream(), true, 10'040, 1'150'000, 2, 1U << 10},
        {"a DVD's ceiling", ProgramStream(900000, 0, 22500), true, 10'040, 0, 2, 1U << 10},
        {"padding past both windows", ProgramStream(900000, 700), true, 10'040, 1'150'000, 2,
         2 * CPsReader::kFirstWindow},
        {"no stream in the largest window", onlyPadding, false, 0, -1, 0,
         CPsReader::kMaxWindow + 4096},
        {"crowded", crowded, true, 10'040, 1'150'000, static_cast<int>(CPsReader::kMaxStreams),
         1U << 20},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        MemorySource source(c.bytes);
        CPsReader reader;
        EXPECT_EQ(reader.LoadFromSource(source, "shape.vob"), c.accepted);
        EXPECT_TRUE(reader.RecognisedContainer);
        const MediaSummary& summary = reader.Summary;
        EXPECT_EQ(summary.DurationMs.value_or(0), c.duration);
        if (c.videoBitRate == 0) {
            EXPECT_NE(summary.VideoBitRate.value_or(0), 9'000'000);
        } else {
            EXPECT_EQ(summary.VideoBitRate.value_or(-1), c.videoBitRate);
        }
        EXPECT_EQ(summary.VideoTracks + summary.AudioTracks + summary.SubtitleTracks, c.tracks);
        EXPECT_LE(source.BytesFetched(), c.mostFetched);
    }
}

// Loads `bytes`, with Stop pressed after a few seconds: a shape that still
// costs seconds (a walk quadratic in its boxes) is stopped and gives no row.
template <typename Reader> bool LoadsBeforeStop(Reader& reader, const Bytes& bytes) {
    std::atomic<bool> stop{false};
    reader.WatchStopFlag(&stop);
    std::promise<void> ended;
    std::thread watchdog([&stop, done = ended.get_future()] {
        if (done.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
            stop.store(true);
        }
    });
    MemorySource source(bytes);
    bool loaded = false;
    try {
        loaded = reader.LoadFromSource(source, "shape");
    } catch (const ReaderError&) {
    }
    ended.set_value();
    watchdog.join();
    reader.WatchStopFlag(nullptr);
    return loaded && !stop.load();
}

TEST(Bounds, ModernLoadsStayLinearInTheirBoxes) {
    // Each took seconds to minutes when every run, entry or UID looked up
    // every other one.
    CIsoReader runs;
    ASSERT_TRUE(LoadsBeforeStop(runs, IsoManyFragmentRuns(3000)));
    EXPECT_EQ(runs.Summary.DurationMs, 1000);
    EXPECT_EQ(runs.Summary.VideoTracks, 3000);

    // Run IDs that all share one chain of a hash table of 85,229 buckets,
    // 8 fragments of them: the walk's sums were kept by ID in one.
    CIsoReader colliding;
    ASSERT_TRUE(LoadsBeforeStop(colliding, IsoCollidingTrackIds(8, 50'000, 85'229)));
    EXPECT_EQ(colliding.Summary.VideoTracks, 1);

    CIsoReader lookups;
    ASSERT_TRUE(LoadsBeforeStop(lookups, IsoManyTrackLookups(80'000)));
    EXPECT_EQ(lookups.Summary.VideoTracks, 1);
    EXPECT_EQ(lookups.Summary.DurationMs, 5000);

    CMatroskaReader tags;
    ASSERT_TRUE(LoadsBeforeStop(tags, MatroskaManyTagTargets(40'000, 40'000)));
    EXPECT_EQ(tags.Summary.VideoBitRate, 1000);

    // "OggS" every 7th byte of the last megabyte, each a page of the stream
    // that claims 32 KB: no last page holds, and the search ends.
    COggReader storm;
    ASSERT_TRUE(LoadsBeforeStop(storm, OggChecksumStorm(1U << 20)));
    EXPECT_EQ(storm.Summary.Width, 320);
    EXPECT_FALSE(storm.Summary.DurationMs);
}

TEST(Bounds, MatroskaTextsAndTracksHeldOnce) {
    // A 512 KiB statistics date for 2,000 tracks was stored 2,000 times.
    CMatroskaReader copies;
    allocatedInAll = 0;
    ASSERT_TRUE(LoadsBeforeStop(copies, MatroskaManyTagTargets(2000, 0, 512U << 10)));
    EXPECT_LT(allocatedInAll.load(), std::size_t{8} << 20);

    // Half a million empty track entries: the first 4,096 are described.
    CMatroskaReader entries;
    allocatedInAll = 0;
    ASSERT_TRUE(LoadsBeforeStop(entries, MatroskaManyTrackEntries(500'000)));
    EXPECT_LT(allocatedInAll.load(), std::size_t{16} << 20);
    EXPECT_EQ(entries.Summary.Width, 640);
}

TEST(Bounds, StatisticsDatesAtTheEdgesOfTime) {
    // The statistics bit rate counts unless the file was written more than
    // a second after them; a date too far off for 64-bit nanoseconds is
    // not a date, and no comparison overflows.
    const struct {
        std::int64_t fileDate;
        const char* written;
        std::optional<std::int64_t> bitRate;
    } cases[] = {
        {0, "2024-05-01 12:00:00", 4000},
        {INT64_MIN, "2024-05-01 12:00:00", 4000},
        {INT64_MAX, "2024-05-01 12:00:00", std::nullopt},
        {0, "2300-01-01 00:00:00", std::nullopt},
        {INT64_MIN, "9999-12-31 23:59:59", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.written);
        CMatroskaReader reader;
        ASSERT_TRUE(LoadsBeforeStop(reader, MatroskaStatisticsDate(c.fileDate, c.written)));
        EXPECT_EQ(reader.Summary.VideoBitRate, c.bitRate);
    }
}

TEST(Bounds, TopLevelWalksReadAFewBlocks) {
    // 2,000 top-level headers 32 KiB apart in a sparse file: each was a read
    // of its own block.
    TempDir dir;
    WriteSparse(dir.path() / "sparse.mp4", IsoSparseTopLevel(2000, 32U << 10));
    WriteSparse(dir.path() / "sparse.mkv", MatroskaSparseTopLevel(2000, 32U << 10));
    WriteSparse(dir.path() / "sparse.avi", AviSparseTopLevel(2000, 32U << 10));
    for (const char* name : {"sparse.mp4", "sparse.mkv", "sparse.avi"}) {
        SCOPED_TRACE(name);
        FileSource file;
        ASSERT_TRUE(file.Open(dir.path() / name));
        const std::uint64_t start = FileSource::Activity().ReadCalls;
        const std::string_view kind = std::string_view(name).substr(7);
        // The movie box after the 2,000th header is out of reach; the
        // Matroska tracks and the AVI's headers before the first are read,
        // the AVI's title after the last is not.
        if (kind == "mp4") {
            EXPECT_FALSE(CIsoReader().LoadFromSource(file, name));
        } else if (kind == "mkv") {
            EXPECT_TRUE(CMatroskaReader().LoadFromSource(file, name));
        } else {
            CAVIHeaderReader avi;
            EXPECT_TRUE(avi.LoadStreams(file, name));
            EXPECT_TRUE(avi.InfoItems.empty());
        }
        EXPECT_LE(FileSource::Activity().ReadCalls - start, HeaderWalkBudget::kMaxReads + 2);
    }
}

TEST(Bounds, DeepTreeWalkHoldsLittlePerLevel) {
    // 1,200 folders one inside the other, a movie at the bottom: the walk
    // held every level's entries with their whole paths, 30 MB at this depth.
    struct QuietHost : RecordingHost {
        void ShowStatus(const std::string&) override {}
    };
    TempDir dir;
    fs::path bottom = dir.path();
    for (int level = 0; level < 1200; ++level) {
        bottom /= "d";
        fs::create_directory(bottom);
    }
    WriteFile(bottom / "clip.avi", AviFile());
    for (const std::size_t readsInFlight : {std::size_t{0}, std::size_t{16}}) {
        SCOPED_TRACE(readsInFlight);
        QuietHost host;
        TScanFilesThread worker(host);
        worker.SetReadsInFlight(readsInFlight);
        worker.Start();
        const std::size_t before = heldBytes.load();
        peakHeldBytes = before;
        worker.RequestScan(dir.path());
        ASSERT_TRUE(host.WaitForScans(1));
        // The listings asked for ahead (64 at most) hold their entries'
        // paths: a bound linear in the depth.
        EXPECT_LT(peakHeldBytes.load() - before, std::size_t{8} << 20);
        ASSERT_EQ(host.rows.size(), 1u);
        EXPECT_EQ(host.rows[0].Caption, "clip.avi");
    }
}

// A movie of one video track whose compressed header expands to `expanded`
// bytes.
Bytes ExpandingMovie(std::size_t expanded) {
    Bytes head =
        Atom("moov", Concat({MovieHeader(9), Track("vide", 600, 5400,
                                                   VideoDescriptions("avc1", 640, 480, "H.264"))}));
    AppendBe32(head, static_cast<std::uint32_t>(expanded - head.size()));
    AppendText(head, "free");
    return CompressedMovieStream(ZlibCompressFilled(head, 0, expanded - head.size()), 0);
}

TEST(Bounds, LoadersHoldWhatAFewCostlyFilesDo) {
    // Sixteen movies whose headers expand to 40 MiB each: every loader held
    // one, and kept it after its row until its next file.
    constexpr std::size_t kExpanded = 40U << 20;
    TempDir dir;
    const Bytes movie = ExpandingMovie(kExpanded);
    for (int i = 0; i < 16; ++i) {
        WriteFile(dir.path() / ("movie" + std::to_string(i) + ".mov"), movie);
    }
    struct QuietHost : RecordingHost {
        void ShowStatus(const std::string&) override {}
    } host;
    TScanFilesThread worker(host);
    worker.Start();
    const std::size_t before = heldBytes.load();
    peakHeldBytes = before;
    worker.RequestScan(dir.path());
    ASSERT_TRUE(host.WaitForScans(1));
    ASSERT_EQ(host.rows.size(), 16u);
    EXPECT_EQ(host.rows[0].SubItems.size(), 12u); // each its QuickTime row
    // About as many loads at once as the processors run (on a busy machine
    // a read may look like a wait for a moment), not one per loader.
    const std::size_t computing = std::max(2U, std::thread::hardware_concurrency());
    EXPECT_LT(peakHeldBytes.load() - before, (computing + 2) * kExpanded);
    EXPECT_EQ(LoadMemory::Held(), 0u);
}

TEST(Bounds, StopGivesTheFileInHandItsPlainRow) {
    // A movie whose header takes about a second to expand: Stop, pressed
    // while a loader expands it, ends the expansion, and the file still gets
    // its plain row.
    TempDir dir;
    WriteFile(dir.path() / "long.mov", ExpandingMovie(250U << 20));
    for (const std::size_t readsInFlight : {std::size_t{0}, std::size_t{16}}) {
        SCOPED_TRACE(readsInFlight);
        RecordingHost host;
        TScanFilesThread worker(host);
        worker.SetReadsInFlight(readsInFlight);
        std::promise<void> reading;
        std::atomic<bool> told{false};
        worker.SetReadHook([&](const fs::path&) {
            if (!told.exchange(true)) {
                reading.set_value();
            }
        });
        worker.Start();
        worker.RequestScan(dir.path());
        reading.get_future().wait();
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        worker.RequestStop();
        ASSERT_TRUE(host.WaitForScans(1));
        ASSERT_EQ(host.rows.size(), 1u);
        EXPECT_EQ(host.rows[0].SubItems.size(), 1u);
    }
}

TEST(Bounds, StopReachesEveryReaderOfTheTable) {
    // A file each reader accepts; with Stop set, none gives its row.
    const auto fileFor = [](ReaderKind kind) -> Bytes {
        switch (kind) {
        case ReaderKind::Avi:
        case ReaderKind::AviStreams:
            return AviFile();
        case ReaderKind::QuickTime:
            return Concat(
                {Atom("ftyp", Bytes{'q', 't', ' ', ' '}),
                 Atom("moov", Concat({MovieHeader(9),
                                      Track("vide", 600, 5400,
                                            VideoDescriptions("avc1", 640, 480, "H.264"))}))});
        case ReaderKind::Mpeg:
            return MpegFile(352, 288, 3, 2875, 0, 60);
        case ReaderKind::Iso:
            return IsoMovie();
        case ReaderKind::Matroska:
            return MatroskaFile();
        case ReaderKind::Ts:
            return TransportStream();
        case ReaderKind::Asf:
            return AsfFile();
        case ReaderKind::Flv:
            return FlvFile(AmfNumber("duration", 7.5));
        case ReaderKind::Ogg:
            return OggFile();
        case ReaderKind::Ps:
            return ProgramStream();
        }
        return {};
    };
    for (const ReaderEntry& entry : ReaderTable()) {
        SCOPED_TRACE(static_cast<int>(entry.Kind));
        ReaderSet readers;
        std::atomic<bool> stop{false};
        readers.WatchStopFlag(&stop);
        const std::function<std::string()> caption = [] { return std::string("shape"); };
        const auto load = [&] {
            MemorySource source(fileFor(entry.Kind));
            try {
                return entry.Load(readers, source, {"shape", caption, 0}).has_value();
            } catch (const ReaderError&) {
                return false;
            }
        };
        ASSERT_TRUE(load());
        stop = true;
        EXPECT_FALSE(load());
    }
}

} // namespace
} // namespace vidarium::testing
