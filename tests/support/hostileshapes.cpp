#include "hostileshapes.h"

#include <cstring>
#include <fstream>
#include <stdexcept>

namespace vidarium::testing {
namespace {

void Append(Bytes& bytes, const Bytes& more) {
    bytes.insert(bytes.end(), more.begin(), more.end());
}

// A Matroska element with the shortest size field its payload allows, as
// small as a hostile file makes them.
Bytes Small(std::uint32_t id, const Bytes& payload) {
    if (payload.size() >= 127) {
        return Ebml(id, payload);
    }
    Bytes bytes;
    for (int shift = 24; shift >= 0; shift -= 8) {
        if ((id >> shift) != 0 || shift == 0) {
            bytes.push_back(static_cast<std::uint8_t>(id >> shift));
        }
    }
    bytes.push_back(static_cast<std::uint8_t>(0x80U | payload.size()));
    Append(bytes, payload);
    return bytes;
}

Bytes SmallUint(std::uint32_t id, std::uint64_t value) {
    Bytes payload;
    for (int shift = 56; shift >= 0; shift -= 8) {
        if ((value >> shift) != 0 || !payload.empty() || shift == 0) {
            payload.push_back(static_cast<std::uint8_t>(value >> shift));
        }
    }
    return Small(id, payload);
}

Bytes SmallText(std::uint32_t id, std::string_view text) {
    Bytes payload;
    AppendText(payload, text);
    return Small(id, payload);
}

constexpr std::uint32_t kSegment = 0x18538067;
constexpr std::uint32_t kInfo = 0x1549A966;
constexpr std::uint32_t kTracks = 0x1654AE6B;
constexpr std::uint32_t kTags = 0x1254C367;

// The EBML header and a segment of `children`, a 640x360 AVC track of UID 1
// first among its tracks.
Bytes MatroskaWith(const Bytes& info, const Bytes& moreTracks, const Bytes& tags) {
    const Bytes video =
        Ebml(0xAE, Concat({EbmlUint(0xD7, 1), EbmlUint(0x73C5, 1), EbmlUint(0x83, 1),
                           EbmlText(0x86, "V_MPEG4/ISO/AVC"),
                           Ebml(0xE0, Concat({EbmlUint(0xB0, 640), EbmlUint(0xBA, 360)}))}));
    Bytes tracks = video;
    Append(tracks, moreTracks);
    Bytes segment =
        Ebml(kInfo, Concat({EbmlUint(0x2AD7B1, 1'000'000), EbmlFloat(0x4489, 5000), info}));
    Append(segment, Ebml(kTracks, tracks));
    if (!tags.empty()) {
        Append(segment, Ebml(kTags, tags));
    }
    return Concat({Ebml(0x1A45DFA3, EbmlText(0x4282, "matroska")), Ebml(kSegment, segment)});
}

Bytes FullBoxOf(std::string_view type, std::uint32_t flags,
                std::initializer_list<std::uint32_t> fields) {
    Bytes payload;
    for (const std::uint32_t field : fields) {
        AppendBe32(payload, field);
    }
    return FullBox(type, 0, payload, flags);
}

Bytes Fragment(std::size_t runs, std::uint32_t baseTime) {
    Bytes trafs = FullBoxOf("mfhd", 0, {1});
    for (std::size_t i = 0; i < runs; ++i) {
        Append(trafs,
               Container("traf", {FullBoxOf("tfhd", 0, {1}), FullBoxOf("tfdt", 0, {baseTime}),
                                  FullBoxOf("trun", 0, {0})}));
    }
    return Atom("moof", trafs);
}

} // namespace

Bytes IsoManyFragmentRuns(std::size_t runs) {
    Bytes movie = Atom("mvhd", TimeHeaderPayload(1000, 0));
    for (std::size_t i = 0; i < runs; ++i) {
        Append(movie,
               Container("trak", {FullBoxOf("tkhd", 3, {0, 0, 1, 0, 0}),
                                  Container("mdia", {FullBoxOf("mdhd", 0, {0, 0, 1000, 0, 0}),
                                                     Atom("hdlr", HandlerPayload("", "vide"))})}));
    }
    Append(movie, Container("mvex", {FullBoxOf("trex", 0, {1, 1, 40, 0, 0})}));
    Bytes file = Concat({Atom("ftyp", Bytes{'i', 's', 'o', '6', 0, 0, 0, 0}), Atom("moov", movie),
                         Fragment(runs, 0), Atom("mdat", Bytes(16, 0))});
    const auto lastAt = static_cast<std::uint32_t>(file.size());
    Append(file, Fragment(runs, 1000));
    // The fragment index: one entry naming the last fragment, then its size.
    Bytes entries;
    for (const std::uint32_t field : {1U, 0U, 1U, 1000U, lastAt}) {
        AppendBe32(entries, field);
    }
    Append(entries, Bytes{1, 1, 1}); // fragment, run and sample numbers, a byte each
    const Bytes tfra = FullBox("tfra", 0, entries);
    const auto mfraSize = static_cast<std::uint32_t>(8 + tfra.size() + 16);
    const Bytes mfra = Concat({tfra, FullBoxOf("mfro", 0, {mfraSize})});
    Append(file, Atom("mfra", mfra));
    return file;
}

Bytes IsoCollidingTrackIds(std::size_t fragments, std::size_t runs, std::uint32_t stride) {
    Bytes movie = Atom("mvhd", TimeHeaderPayload(1000, 0));
    Append(movie,
           Container("trak", {FullBoxOf("tkhd", 3, {0, 0, stride, 0, 0}),
                              Container("mdia", {FullBoxOf("mdhd", 0, {0, 0, 1000, 0, 0}),
                                                 Atom("hdlr", HandlerPayload("", "vide"))})}));
    Append(movie, Container("mvex", {FullBoxOf("trex", 0, {stride, 1, 40, 0, 0})}));
    Bytes file = Concat({Atom("ftyp", Bytes{'i', 's', 'o', '6', 0, 0, 0, 0}), Atom("moov", movie)});
    Bytes trafs = FullBoxOf("mfhd", 0, {1});
    for (std::size_t i = 0; i < runs; ++i) {
        const auto id = static_cast<std::uint32_t>((i + 1) * stride);
        Append(trafs, Container("traf", {FullBoxOf("tfhd", 0, {id})}));
    }
    const Bytes moof = Atom("moof", trafs);
    for (std::size_t i = 0; i < fragments; ++i) {
        Append(file, moof);
    }
    return file;
}

Bytes IsoManyTrackLookups(std::size_t count) {
    Bytes movie = Atom("mvhd", TimeHeaderPayload(1000, 5000));
    Append(movie,
           Container("trak", {FullBoxOf("tkhd", 3, {0, 0, 0, 0, 0}),
                              Container("mdia", {Atom("hdlr", HandlerPayload("", "vide"))})}));
    Bytes extends;
    for (std::size_t i = 0; i < count; ++i) {
        Append(movie, Atom("trak", {}));
        Append(extends, FullBoxOf("trex", 0, {0, 1, 40, 0, 0}));
    }
    Append(movie, Atom("mvex", extends));
    return Concat({Atom("ftyp", Bytes{'i', 's', 'o', 'm', 0, 0, 0, 0}), Atom("moov", movie)});
}

Bytes MovExpansion(std::size_t expanded) {
    Bytes head = Atom(
        "moov", Concat({Atom("mvhd", TimeHeaderPayload(1, 9)),
                        Track("vide", 600, 5400, VideoDescriptions("avc1", 640, 480, "H.264"))}));
    AppendBe32(head, static_cast<std::uint32_t>(expanded - head.size()));
    AppendText(head, "free");
    return CompressedMovieStream(ZlibCompressFilled(head, 0, expanded - head.size()), 0);
}

Bytes MatroskaManyTagTargets(std::size_t uids, std::size_t simpleTags, std::size_t dateBytes) {
    Bytes targets;
    for (std::size_t i = 0; i < uids; ++i) {
        Append(targets, SmallUint(0x63C5, i + 1));
    }
    Bytes tag = Ebml(0x63C0, targets);
    for (std::size_t i = 0; i < simpleTags; ++i) {
        Append(tag, Small(0x67C8, Concat({SmallText(0x45A3, "BPS"), SmallText(0x4487, "1000")})));
    }
    if (dateBytes > 0) {
        Append(tag, Ebml(0x67C8, Concat({SmallText(0x45A3, "_STATISTICS_WRITING_DATE_UTC"),
                                         Ebml(0x4487, Bytes(dateBytes, '2'))})));
    }
    return MatroskaWith({}, {}, Ebml(0x7373, tag));
}

Bytes MatroskaStatisticsDate(std::int64_t dateUtc, const std::string& writingDate) {
    const Bytes tag = Ebml(
        0x7373, Concat({Ebml(0x63C0, EbmlUint(0x63C5, 1)),
                        Ebml(0x67C8, Concat({EbmlText(0x45A3, "BPS"), EbmlText(0x4487, "4000")})),
                        Ebml(0x67C8, Concat({EbmlText(0x45A3, "_STATISTICS_WRITING_DATE_UTC"),
                                             EbmlText(0x4487, writingDate)}))}));
    return MatroskaWith(EbmlUint(0x4461, static_cast<std::uint64_t>(dateUtc)), {}, tag);
}

Bytes MatroskaManyTrackEntries(std::size_t count) {
    Bytes entries;
    entries.reserve(2 * count);
    for (std::size_t i = 0; i < count; ++i) {
        Append(entries, Bytes{0xAE, 0x80});
    }
    return MatroskaWith({}, entries, {});
}

Bytes OggChecksumStorm(std::size_t tailBytes) {
    // The stream's serial is what the fillers' serial field reads: "OggS".
    constexpr std::uint32_t kSerial = 0x5367674FU;
    Bytes comments{0x81};
    AppendText(comments, "theora");
    Bytes file = Concat({OggPage(kSerial, 2, 0, {TheoraIdentification()}),
                         OggPage(kSerial, 0, 0, {VorbisComments(comments, {"TITLE=Storm"})})});
    const Bytes pattern{'O', 'g', 'g', 'S', 0, 0xFF, 0xFF};
    for (std::size_t i = 0; i < tailBytes; ++i) {
        file.push_back(pattern[i % pattern.size()]);
    }
    return file;
}

SparseShape IsoSparseTopLevel(std::size_t headers, std::uint32_t spacing) {
    SparseShape shape;
    shape.Head = Atom("ftyp", Bytes{'i', 's', 'o', 'm', 0, 0, 0, 0});
    std::uint64_t at = shape.Head.size();
    for (std::size_t i = 0; i < headers; ++i, at += spacing) {
        Bytes header;
        AppendBe32(header, spacing);
        AppendText(header, "free");
        shape.Writes.emplace_back(at, header);
    }
    const Bytes movie = IsoMovie();
    shape.Writes.emplace_back(at, Bytes(movie.begin() + 16, movie.end())); // past its ftyp
    shape.Size = at + movie.size() - 16;
    return shape;
}

SparseShape AviSparseTopLevel(std::size_t headers, std::uint32_t spacing) {
    SparseShape shape;
    shape.Head = AviFile();
    shape.Head.resize(shape.Head.size() - 24); // its index
    std::uint64_t at = shape.Head.size();
    for (std::size_t i = 0; i < headers; ++i, at += spacing) {
        Bytes header;
        AppendText(header, "JUNK");
        AppendLe32(header, spacing - 8);
        shape.Writes.emplace_back(at, header);
    }
    Bytes title;
    AppendText(title, "Far");
    title.push_back(0);
    const Bytes info = List("INFO", {Chunk("INAM", title)});
    shape.Writes.emplace_back(at, info);
    shape.Size = at + info.size();
    const auto riffSize = static_cast<std::uint32_t>(shape.Size - 8);
    std::memcpy(shape.Head.data() + 4, &riffSize, 4);
    return shape;
}

SparseShape MatroskaSparseTopLevel(std::size_t headers, std::uint32_t spacing) {
    SparseShape shape;
    // An unknown-size segment that starts with its information and tracks.
    const Bytes whole = MatroskaWith({}, {}, {});
    Bytes segment(whole.begin(), whole.end());
    const std::size_t segmentAt = Ebml(0x1A45DFA3, EbmlText(0x4282, "matroska")).size();
    for (std::size_t i = 4; i < 12; ++i) {
        segment[segmentAt + i] = 0xFF;
    }
    segment[segmentAt + 4] = 0x01;
    shape.Head = segment;
    std::uint64_t at = segment.size();
    for (std::size_t i = 0; i < headers; ++i, at += spacing) {
        Bytes header{0xEC, 0x01};
        for (int shift = 48; shift >= 0; shift -= 8) {
            header.push_back(static_cast<std::uint8_t>(std::uint64_t{spacing - 9} >> shift));
        }
        shape.Writes.emplace_back(at, header);
    }
    shape.Size = at;
    return shape;
}

void WriteSparse(const std::filesystem::path& path, const SparseShape& shape) {
    WriteFile(path, shape.Head);
    std::filesystem::resize_file(path, shape.Size);
    for (const auto& [at, bytes] : shape.Writes) {
        WriteAt(path, at, bytes);
    }
}

Bytes AviNestedIndexes(std::size_t bytes) {
    Bytes file = AviFile();
    // AviFile ends with a 16-byte index: it goes after the lists.
    file.resize(file.size() - 24);
    while (file.size() + 20 + 24 < bytes) {
        AppendText(file, "LIST");
        AppendLe32(file, 12);
        AppendText(file, "abcdidx1");
        AppendLe32(file, 1U << 20);
    }
    Bytes entry;
    AppendText(entry, "00dc");
    AppendLe32(entry, 0x10);
    AppendLe32(entry, 4);
    AppendLe32(entry, 1000);
    Append(file, Chunk("idx1", entry));
    const auto riffSize = static_cast<std::uint32_t>(file.size() - 8);
    std::memcpy(file.data() + 4, &riffSize, 4);
    return file;
}

} // namespace vidarium::testing
