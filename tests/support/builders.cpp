#include "builders.h"

#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <stdexcept>

namespace vidarium::testing {

void AppendLe16(Bytes& bytes, std::uint16_t value) {
    bytes.push_back(static_cast<std::uint8_t>(value));
    bytes.push_back(static_cast<std::uint8_t>(value >> 8));
}

void AppendLe32(Bytes& bytes, std::uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) {
        bytes.push_back(static_cast<std::uint8_t>(value >> shift));
    }
}

void AppendBe16(Bytes& bytes, std::uint16_t value) {
    bytes.push_back(static_cast<std::uint8_t>(value >> 8));
    bytes.push_back(static_cast<std::uint8_t>(value));
}

void AppendBe32(Bytes& bytes, std::uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) {
        bytes.push_back(static_cast<std::uint8_t>(value >> shift));
    }
}

void AppendText(Bytes& bytes, std::string_view text) {
    bytes.insert(bytes.end(), text.begin(), text.end());
}

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes bytes;
    for (const Bytes& part : parts) {
        bytes.insert(bytes.end(), part.begin(), part.end());
    }
    return bytes;
}

Bytes Repeat(std::uint8_t value, std::size_t count) {
    return Bytes(count, value);
}

void WriteFile(const std::filesystem::path& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    if (!out) {
        throw std::runtime_error("cannot write " + path.string());
    }
}

void Backdate(const std::filesystem::path& root) {
    namespace fs = std::filesystem;
    const auto past = fs::file_time_type::clock::now() - std::chrono::hours(1);
    if (!fs::is_directory(root)) {
        fs::last_write_time(root, past);
        return;
    }
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(root)) {
        if (entry.is_regular_file()) {
            fs::last_write_time(entry.path(), past);
        }
    }
}

void WriteAt(const std::filesystem::path& path, std::uint64_t offset, const Bytes& bytes) {
    std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(static_cast<std::streamoff>(offset));
    file.write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    if (!file) {
        throw std::runtime_error("cannot write " + path.string());
    }
}

Bytes Chunk(std::string_view id, const Bytes& payload, std::optional<std::uint32_t> declaredSize) {
    Bytes bytes;
    AppendText(bytes, id);
    AppendLe32(bytes, declaredSize.value_or(static_cast<std::uint32_t>(payload.size())));
    bytes.insert(bytes.end(), payload.begin(), payload.end());
    if (payload.size() % 2 != 0) {
        bytes.push_back(0);
    }
    return bytes;
}

Bytes List(std::string_view type, std::initializer_list<Bytes> children,
           std::optional<std::uint32_t> declaredSize) {
    Bytes payload;
    AppendText(payload, type);
    for (const Bytes& child : children) {
        payload.insert(payload.end(), child.begin(), child.end());
    }
    return Chunk("LIST", payload, declaredSize);
}

Bytes Riff(std::string_view form, std::initializer_list<Bytes> children,
           std::optional<std::uint32_t> declaredSize) {
    Bytes payload;
    AppendText(payload, form);
    for (const Bytes& child : children) {
        payload.insert(payload.end(), child.begin(), child.end());
    }
    return Chunk("RIFF", payload, declaredSize);
}

Bytes AviMainHeaderPayload(std::uint32_t microSecPerFrame, std::uint32_t totalFrames,
                           std::uint32_t width, std::uint32_t height) {
    Bytes bytes;
    AppendLe32(bytes, microSecPerFrame);
    AppendLe32(bytes, 0);    // max bytes per second
    AppendLe32(bytes, 0);    // padding granularity
    AppendLe32(bytes, 0x10); // flags: has index
    AppendLe32(bytes, totalFrames);
    AppendLe32(bytes, 0); // initial frames
    AppendLe32(bytes, 2); // streams
    AppendLe32(bytes, 0); // suggested buffer size
    AppendLe32(bytes, width);
    AppendLe32(bytes, height);
    for (int i = 0; i < 4; ++i) {
        AppendLe32(bytes, 0);
    }
    return bytes;
}

Bytes StreamHeaderPayload(std::string_view type, std::string_view handler, std::uint32_t scale,
                          std::uint32_t rate, std::uint32_t length) {
    Bytes bytes;
    AppendText(bytes, type);
    Bytes code(4, 0);
    std::copy(handler.begin(),
              handler.begin() +
                  static_cast<std::ptrdiff_t>(std::min<std::size_t>(handler.size(), 4)),
              code.begin());
    bytes.insert(bytes.end(), code.begin(), code.end());
    AppendLe32(bytes, 0); // flags
    AppendLe16(bytes, 0); // priority
    AppendLe16(bytes, 0); // language
    AppendLe32(bytes, 0); // initial frames
    AppendLe32(bytes, scale);
    AppendLe32(bytes, rate);
    AppendLe32(bytes, 0); // start
    AppendLe32(bytes, length);
    AppendLe32(bytes, 0);          // suggested buffer size
    AppendLe32(bytes, 0xFFFFFFFF); // quality
    AppendLe32(bytes, 0);          // sample size
    for (int i = 0; i < 4; ++i) {
        AppendLe16(bytes, 0); // frame rectangle
    }
    return bytes;
}

Bytes WaveFormatPayload(std::uint16_t tag, std::uint16_t channels, std::uint32_t samplesPerSec,
                        std::uint32_t avgBytesPerSec, bool withCbSize) {
    Bytes bytes;
    AppendLe16(bytes, tag);
    AppendLe16(bytes, channels);
    AppendLe32(bytes, samplesPerSec);
    AppendLe32(bytes, avgBytesPerSec);
    AppendLe16(bytes, 4);  // block align
    AppendLe16(bytes, 16); // bits per sample
    if (withCbSize) {
        AppendLe16(bytes, 0);
    }
    return bytes;
}

Bytes BitmapInfoPayload(std::int32_t width, std::int32_t height, std::string_view compression) {
    Bytes bytes;
    AppendLe32(bytes, 40);
    AppendLe32(bytes, static_cast<std::uint32_t>(width));
    AppendLe32(bytes, static_cast<std::uint32_t>(height));
    AppendLe16(bytes, 1);  // planes
    AppendLe16(bytes, 24); // bit count
    AppendText(bytes, compression);
    for (int i = 0; i < 5; ++i) {
        AppendLe32(bytes, 0);
    }
    return bytes;
}

Bytes AviFile(const AviParams& params) {
    const Bytes hdrl = List(
        "hdrl",
        {Chunk("avih", AviMainHeaderPayload(params.microSecPerFrame, params.totalFrames,
                                            static_cast<std::uint32_t>(params.width),
                                            static_cast<std::uint32_t>(params.height))),
         List("strl",
              {Chunk("strh", StreamHeaderPayload("vids", params.videoHandler, params.scale,
                                                 params.rate, params.totalFrames)),
               Chunk("strf", BitmapInfoPayload(params.width, params.height,
                                               params.compression.empty() ? params.videoHandler
                                                                          : params.compression))}),
         List("strl",
              {Chunk("strh",
                     StreamHeaderPayload("auds", "", 1, params.samplesPerSec, params.audioSamples)),
               Chunk("strf", WaveFormatPayload(params.audioTag, params.channels,
                                               params.samplesPerSec, params.avgBytesPerSec))})});
    const Bytes movi = List("movi", {Chunk("00dc", Repeat(0xAB, params.movieBytes))});
    const Bytes idx1 = Chunk("idx1", Repeat(0, 16));
    return Riff("AVI ", {hdrl, movi, idx1});
}

Bytes AviFileWithFirst(const Bytes& chunk, const AviParams& params) {
    Bytes file = AviFile(params);
    file.insert(file.begin() + 12, chunk.begin(), chunk.end());
    const auto riffSize = static_cast<std::uint32_t>(file.size() - 8);
    std::memcpy(file.data() + 4, &riffSize, 4);
    return file;
}

Bytes SequenceHeader(unsigned width, unsigned height, unsigned frameRateCode,
                     std::uint32_t bitRateValue) {
    return {0x00,
            0x00,
            0x01,
            0xB3,
            static_cast<std::uint8_t>(width >> 4),
            static_cast<std::uint8_t>(((width & 0x0F) << 4) | ((height >> 8) & 0x0F)),
            static_cast<std::uint8_t>(height),
            static_cast<std::uint8_t>(0x10 | (frameRateCode & 0x0F)),
            static_cast<std::uint8_t>(bitRateValue >> 10),
            static_cast<std::uint8_t>(bitRateValue >> 2),
            static_cast<std::uint8_t>(((bitRateValue & 3) << 6) | 0x20),
            0x00};
}

Bytes GopHeader(unsigned hours, unsigned minutes, unsigned seconds, unsigned pictures) {
    return {0x00,
            0x00,
            0x01,
            0xB8,
            static_cast<std::uint8_t>(((hours & 0x1F) << 2) | ((minutes >> 4) & 3)),
            static_cast<std::uint8_t>(((minutes & 0x0F) << 4) | 0x08 | ((seconds >> 3) & 7)),
            static_cast<std::uint8_t>(((seconds & 7) << 5) | ((pictures >> 1) & 0x1F)),
            static_cast<std::uint8_t>((pictures & 1) << 7)};
}

Bytes MpegFile(unsigned width, unsigned height, unsigned frameRateCode, std::uint32_t bitRateValue,
               unsigned startSeconds, unsigned endSeconds, std::size_t totalBytes) {
    Bytes bytes =
        Concat({SequenceHeader(width, height, frameRateCode, bitRateValue),
                GopHeader(startSeconds / 3600, startSeconds / 60 % 60, startSeconds % 60, 0)});
    const Bytes last = GopHeader(endSeconds / 3600, endSeconds / 60 % 60, endSeconds % 60, 0);
    const std::size_t tailBytes = last.size() + 16;
    if (totalBytes > bytes.size() + tailBytes) {
        bytes.resize(totalBytes - tailBytes, 0xFF);
    }
    bytes.insert(bytes.end(), last.begin(), last.end());
    bytes.resize(bytes.size() + 16, 0xFF);
    return bytes;
}

Bytes Atom(std::string_view type, const Bytes& payload, std::optional<std::uint32_t> declaredSize) {
    Bytes bytes;
    AppendBe32(bytes, declaredSize.value_or(static_cast<std::uint32_t>(payload.size() + 8)));
    AppendText(bytes, type);
    bytes.insert(bytes.end(), payload.begin(), payload.end());
    return bytes;
}

void AppendBe64(Bytes& bytes, std::uint64_t value) {
    AppendBe32(bytes, static_cast<std::uint32_t>(value >> 32));
    AppendBe32(bytes, static_cast<std::uint32_t>(value));
}

Bytes Atom64(std::string_view type, const Bytes& payload,
             std::optional<std::uint64_t> declaredSize) {
    Bytes bytes;
    AppendBe32(bytes, 1);
    AppendText(bytes, type);
    AppendBe64(bytes, declaredSize.value_or(payload.size() + 16));
    bytes.insert(bytes.end(), payload.begin(), payload.end());
    return bytes;
}

Bytes Container(std::string_view type, std::initializer_list<Bytes> children,
                std::optional<std::uint32_t> declaredSize) {
    return Atom(type, Concat(children), declaredSize);
}

Bytes TimeHeaderPayload(std::uint32_t timeScale, std::uint32_t duration) {
    Bytes bytes;
    AppendBe32(bytes, 0); // version and flags
    AppendBe32(bytes, 0); // creation time
    AppendBe32(bytes, 0); // modification time
    AppendBe32(bytes, timeScale);
    AppendBe32(bytes, duration);
    bytes.resize(bytes.size() + 80, 0);
    return bytes;
}

Bytes HandlerPayload(std::string_view componentType, std::string_view subtype) {
    Bytes bytes;
    AppendBe32(bytes, 0);
    Bytes type(4, 0);
    std::copy(componentType.begin(), componentType.end(), type.begin());
    bytes.insert(bytes.end(), type.begin(), type.end());
    AppendText(bytes, subtype);
    bytes.resize(bytes.size() + 12, 0);
    return bytes;
}

Bytes VideoDescriptions(std::string_view format, std::uint16_t width, std::uint16_t height,
                        std::string_view compressorName, std::uint8_t nameLength) {
    Bytes entry;
    AppendBe32(entry, 86);
    AppendText(entry, format);
    entry.resize(entry.size() + 6, 0);
    AppendBe16(entry, 1);      // data reference index
    AppendBe16(entry, 0);      // version
    AppendBe16(entry, 0);      // revision
    AppendText(entry, "appl"); // vendor
    AppendBe32(entry, 0);      // temporal quality
    AppendBe32(entry, 512);    // spatial quality
    AppendBe16(entry, width);
    AppendBe16(entry, height);
    AppendBe32(entry, 72U << 16);
    AppendBe32(entry, 72U << 16);
    AppendBe32(entry, 0); // data size
    AppendBe16(entry, 1); // frame count
    entry.push_back(nameLength == 0xFF ? static_cast<std::uint8_t>(compressorName.size())
                                       : nameLength);
    Bytes name(31, 0);
    std::copy(compressorName.begin(),
              compressorName.begin() +
                  static_cast<std::ptrdiff_t>(std::min<std::size_t>(compressorName.size(), 31)),
              name.begin());
    entry.insert(entry.end(), name.begin(), name.end());
    AppendBe16(entry, 24);     // depth
    AppendBe16(entry, 0xFFFF); // colour table id
    Bytes bytes;
    AppendBe32(bytes, 0); // version and flags
    AppendBe32(bytes, 1); // entry count
    bytes.insert(bytes.end(), entry.begin(), entry.end());
    return bytes;
}

Bytes SoundDescriptions(const SoundParams& params) {
    Bytes entry;
    AppendBe32(entry, params.version == 1 ? 52 : 36);
    Bytes format(4, 0);
    std::copy(params.format.begin(), params.format.end(), format.begin());
    entry.insert(entry.end(), format.begin(), format.end());
    entry.resize(entry.size() + 6, 0);
    AppendBe16(entry, 1);
    AppendBe16(entry, params.version);
    AppendBe16(entry, 0);
    AppendBe32(entry, 0); // vendor
    AppendBe16(entry, params.channels);
    AppendBe16(entry, params.sampleSize);
    AppendBe16(entry, 0); // compression id
    AppendBe16(entry, 0); // packet size
    AppendBe32(entry, params.sampleRateFixed);
    if (params.version == 1) {
        AppendBe32(entry, params.samplesPerPacket);
        AppendBe32(entry, 0);
        AppendBe32(entry, params.bytesPerFrame);
        AppendBe32(entry, 2);
    }
    Bytes bytes;
    AppendBe32(bytes, 0);
    AppendBe32(bytes, 1);
    bytes.insert(bytes.end(), entry.begin(), entry.end());
    return bytes;
}

Bytes Track(std::string_view subtype, std::uint32_t timeScale, std::uint32_t duration,
            const Bytes& sampleDescriptions, std::string_view componentType, bool withMediaHeader) {
    const Bytes stbl =
        Container("stbl", {Atom("stsd", sampleDescriptions), Atom("stts", Bytes(8, 0))});
    const Bytes minf = Container("minf", {stbl});
    const Bytes handler = Atom("hdlr", HandlerPayload(componentType, subtype));
    const Bytes mdia =
        withMediaHeader ? Container("mdia", {Atom("mdhd", TimeHeaderPayload(timeScale, duration)),
                                             handler, minf})
                        : Container("mdia", {handler, minf});
    return Container("trak", {Atom("tkhd", Bytes(84, 0)), mdia});
}

Bytes UserDataItem(std::string_view type, std::string_view text, std::uint16_t language) {
    Bytes payload;
    AppendBe16(payload, static_cast<std::uint16_t>(text.size()));
    AppendBe16(payload, language);
    AppendText(payload, text);
    return Atom(type, payload);
}

Bytes ZlibCompress(const Bytes& bytes) {
    uLongf length = compressBound(static_cast<uLong>(bytes.size()));
    Bytes compressed(length);
    if (compress(compressed.data(), &length, bytes.data(), static_cast<uLong>(bytes.size())) !=
        Z_OK) {
        throw std::runtime_error("compress failed");
    }
    compressed.resize(length);
    return compressed;
}

Bytes ZlibCompressFilled(const Bytes& head, std::uint8_t fill, std::size_t fillCount) {
    z_stream stream{};
    if (deflateInit(&stream, Z_BEST_COMPRESSION) != Z_OK) {
        throw std::runtime_error("deflateInit failed");
    }
    Bytes compressed;
    Bytes out(1U << 16);
    const auto feed = [&](const Bytes& input, int flush) {
        stream.next_in = const_cast<Bytef*>(input.data());
        stream.avail_in = static_cast<uInt>(input.size());
        do {
            stream.next_out = out.data();
            stream.avail_out = static_cast<uInt>(out.size());
            deflate(&stream, flush);
            compressed.insert(compressed.end(), out.begin(),
                              out.end() - static_cast<std::ptrdiff_t>(stream.avail_out));
        } while (stream.avail_out == 0 || (flush == Z_FINISH && stream.avail_in != 0));
    };
    feed(head, Z_NO_FLUSH);
    const Bytes block(1U << 16, fill);
    for (std::size_t left = fillCount; left > 0;) {
        const std::size_t count = std::min(left, block.size());
        feed(Bytes(block.begin(), block.begin() + static_cast<std::ptrdiff_t>(count)), Z_NO_FLUSH);
        left -= count;
    }
    feed({}, Z_FINISH);
    deflateEnd(&stream);
    return compressed;
}

Bytes CompressedMovieStream(const Bytes& stream, std::uint32_t declaredSize) {
    Bytes cmvd;
    AppendBe32(cmvd, declaredSize);
    cmvd.insert(cmvd.end(), stream.begin(), stream.end());
    return Container(
        "moov", {Container("cmov", {Atom("dcom", Bytes{'z', 'l', 'i', 'b'}), Atom("cmvd", cmvd)})});
}

Bytes CompressedMovie(const Bytes& movie, std::optional<std::uint32_t> declaredSize,
                      std::string_view method) {
    Bytes cmvd;
    AppendBe32(cmvd, declaredSize.value_or(static_cast<std::uint32_t>(movie.size())));
    const Bytes compressed = ZlibCompress(movie);
    cmvd.insert(cmvd.end(), compressed.begin(), compressed.end());
    Bytes dcom;
    AppendText(dcom, method);
    return Container("moov", {Container("cmov", {Atom("dcom", dcom), Atom("cmvd", cmvd)})});
}

// --- ISO base media (MP4) -----------------------------------------------------

Bytes FullBox(std::string_view type, std::uint8_t version, const Bytes& payload,
              std::uint32_t flags) {
    Bytes bytes;
    AppendBe32(bytes, (std::uint32_t{version} << 24) | (flags & 0xFFFFFFU));
    bytes.insert(bytes.end(), payload.begin(), payload.end());
    return Atom(type, bytes);
}

Bytes IsoTrack(const IsoTrackParams& params, std::uint32_t trackId) {
    const std::uint32_t duration = params.samples * params.sampleDelta;
    Bytes tkhd;
    AppendBe32(tkhd, 0); // creation
    AppendBe32(tkhd, 0); // modification
    AppendBe32(tkhd, trackId);
    AppendBe32(tkhd, 0);
    AppendBe32(tkhd, duration);
    tkhd.resize(tkhd.size() + 16, 0);
    // The display matrix: a, b, u, c, d, v, x, y, w.
    const std::int32_t one = 0x10000;
    std::int32_t a = one;
    std::int32_t b = 0;
    if (params.rotation == 90) {
        a = 0;
        b = one;
    } else if (params.rotation == 180) {
        a = -one;
    } else if (params.rotation == 270) {
        a = 0;
        b = -one;
    }
    for (const std::int32_t value : {a, b, 0, -b, a, 0, 0, 0, 0x40000000}) {
        AppendBe32(tkhd, static_cast<std::uint32_t>(value));
    }
    AppendBe32(tkhd, std::uint32_t{params.width} << 16);
    AppendBe32(tkhd, std::uint32_t{params.height} << 16);

    Bytes mdhd;
    AppendBe32(mdhd, 0);
    AppendBe32(mdhd, 0);
    AppendBe32(mdhd, params.timeScale);
    AppendBe32(mdhd, duration);
    std::uint16_t language = 0;
    for (const char letter : params.language.substr(0, 3)) {
        language = static_cast<std::uint16_t>(language << 5 | ((letter - 0x60) & 0x1F));
    }
    AppendBe16(mdhd, language);
    AppendBe16(mdhd, 0); // quality
    Bytes hdlr;
    AppendBe32(hdlr, 0);
    AppendText(hdlr, params.handler);
    hdlr.resize(hdlr.size() + 13, 0);

    Bytes entry(6, 0);
    AppendBe16(entry, 1); // data reference index
    if (params.handler == "vide") {
        entry.resize(entry.size() + 16, 0);
        AppendBe16(entry, params.width);
        AppendBe16(entry, params.height);
        AppendBe32(entry, 0x00480000);
        AppendBe32(entry, 0x00480000);
        AppendBe32(entry, 0);
        AppendBe16(entry, 1);
        entry.resize(entry.size() + 32, 0);
        AppendBe16(entry, 24);
        AppendBe16(entry, 0xFFFF);
    } else {
        AppendBe16(entry, params.soundVersion);
        entry.resize(entry.size() + 6, 0);
        AppendBe16(entry, params.channels);
        AppendBe16(entry, params.sampleSize);
        AppendBe32(entry, 0);
        AppendBe32(entry, params.sampleRate << 16);
        entry.insert(entry.end(), params.soundFields.begin(), params.soundFields.end());
    }
    entry.insert(entry.end(), params.children.begin(), params.children.end());
    Bytes stsd;
    AppendBe32(stsd, 1);
    const Bytes sampleEntry = Atom(params.code, entry);
    stsd.insert(stsd.end(), sampleEntry.begin(), sampleEntry.end());
    Bytes stts;
    Bytes stsz;
    if (params.sampleTable) {
        AppendBe32(stts, 1);
        AppendBe32(stts, params.samples);
        AppendBe32(stts, params.sampleDelta);
        AppendBe32(stsz, params.sampleBytes);
        AppendBe32(stsz, params.samples);
    } else {
        AppendBe32(stts, 0);
        AppendBe32(stsz, 0);
        AppendBe32(stsz, 0);
    }
    Bytes stco;
    AppendBe32(stco, static_cast<std::uint32_t>(params.chunkOffsets.size()));
    for (const std::uint32_t offset : params.chunkOffsets) {
        AppendBe32(stco, offset);
    }
    const Bytes stbl = Container(
        "stbl", {FullBox("stsd", 0, stsd), FullBox("stts", 0, stts), FullBox("stsz", 0, stsz),
                 params.chunkOffsets.empty() ? Bytes{} : FullBox("stco", 0, stco)});
    return Container("trak", {FullBox("tkhd", 0, tkhd, 3),
                              Container("mdia", {FullBox("mdhd", 0, mdhd), FullBox("hdlr", 0, hdlr),
                                                 Container("minf", {stbl})})});
}

Bytes IsoMovie(const IsoParams& params) {
    Bytes ftyp;
    AppendText(ftyp, params.brand);
    AppendBe32(ftyp, 0x200);
    AppendText(ftyp, params.brand);
    AppendText(ftyp, "mp41");
    Bytes mvhd;
    AppendBe32(mvhd, 0);
    AppendBe32(mvhd, 0);
    AppendBe32(mvhd, params.timeScale);
    AppendBe32(mvhd, params.duration);
    mvhd.resize(mvhd.size() + 80, 0);
    Bytes moovPayload = FullBox("mvhd", 0, mvhd);
    std::uint32_t id = 1;
    for (const IsoTrackParams& track : params.tracks) {
        const Bytes trak = IsoTrack(track, id++);
        moovPayload.insert(moovPayload.end(), trak.begin(), trak.end());
    }
    moovPayload.insert(moovPayload.end(), params.movieExtras.begin(), params.movieExtras.end());
    const Bytes moov = Atom("moov", moovPayload);
    const Bytes mdat = Atom("mdat", Bytes(params.mediaBytes, 0));
    return params.movieLast ? Concat({Atom("ftyp", ftyp), mdat, moov})
                            : Concat({Atom("ftyp", ftyp), moov, mdat});
}

Bytes AvcConfigBox(std::uint8_t profile, std::uint8_t level) {
    // One sequence parameter set: NAL header, profile, constraints, level,
    // then seq_parameter_set_id 0 and, for a high profile, chroma format 1
    // and bit depth 8 (Exp-Golomb "1", "010", "1").
    const Bytes sps{0x67, profile, 0x00, level, 0xA8, 0x00};
    Bytes avcC{1, profile, 0x00, level, 0xFF, 0xE1};
    AppendBe16(avcC, static_cast<std::uint16_t>(sps.size()));
    avcC.insert(avcC.end(), sps.begin(), sps.end());
    avcC.push_back(0); // no picture parameter set
    return Atom("avcC", avcC);
}

Bytes AacConfigBox(const Bytes& config, std::uint8_t objectType) {
    Bytes info{0x05, static_cast<std::uint8_t>(config.size())};
    info.insert(info.end(), config.begin(), config.end());
    Bytes decoder{0x04, static_cast<std::uint8_t>(13 + info.size()), objectType, 0x15, 0, 0, 0};
    AppendBe32(decoder, 128000); // max
    AppendBe32(decoder, 96000);  // average
    decoder.insert(decoder.end(), info.begin(), info.end());
    Bytes descriptor{0x03, static_cast<std::uint8_t>(3 + decoder.size()), 0, 1, 0};
    descriptor.insert(descriptor.end(), decoder.begin(), decoder.end());
    return FullBox("esds", 0, descriptor);
}

Bytes IlstItem(std::string_view type, std::string_view text) {
    Bytes data;
    AppendBe32(data, 1); // UTF-8
    AppendBe32(data, 0); // locale
    AppendText(data, text);
    return Atom(type, Atom("data", data));
}

} // namespace vidarium::testing

namespace vidarium::testing {

Bytes Ebml(std::uint32_t id, const Bytes& payload, bool unknownSize) {
    Bytes bytes;
    for (int shift = 24; shift >= 0; shift -= 8) {
        if ((id >> shift) != 0 || shift == 0) {
            bytes.push_back(static_cast<std::uint8_t>(id >> shift));
        }
    }
    bytes.push_back(0x01);
    for (int shift = 48; shift >= 0; shift -= 8) {
        bytes.push_back(
            unknownSize ? 0xFF : static_cast<std::uint8_t>(std::uint64_t{payload.size()} >> shift));
    }
    bytes.insert(bytes.end(), payload.begin(), payload.end());
    return bytes;
}

Bytes EbmlUint(std::uint32_t id, std::uint64_t value) {
    Bytes payload;
    for (int shift = 56; shift >= 0; shift -= 8) {
        payload.push_back(static_cast<std::uint8_t>(value >> shift));
    }
    return Ebml(id, payload);
}

Bytes EbmlFloat(std::uint32_t id, double value) {
    std::uint64_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    Bytes payload;
    for (int shift = 56; shift >= 0; shift -= 8) {
        payload.push_back(static_cast<std::uint8_t>(bits >> shift));
    }
    return Ebml(id, payload);
}

Bytes EbmlText(std::uint32_t id, std::string_view text) {
    return Ebml(id, Bytes(text.begin(), text.end()));
}

Bytes MatroskaFile(double duration, std::uint64_t clusterTime, const Bytes& segmentExtras) {
    const Bytes header = Ebml(0x1A45DFA3, EbmlText(0x4282, "webm"));
    Bytes info = Concat({EbmlUint(0x2AD7B1, 1'000'000), EbmlText(0x7BA9, "Seed")});
    if (duration >= 0) {
        info = Concat({info, EbmlFloat(0x4489, duration)});
    }
    const Bytes video =
        Ebml(0xAE, Concat({EbmlUint(0xD7, 1), EbmlUint(0x83, 1), EbmlText(0x86, "V_MPEG4/ISO/AVC"),
                           EbmlUint(0x23E383, 40'000'000),
                           Ebml(0xE0, Concat({EbmlUint(0xB0, 640), EbmlUint(0xBA, 360)}))}));
    const Bytes audio =
        Ebml(0xAE, Concat({EbmlUint(0xD7, 2), EbmlUint(0x83, 2), EbmlText(0x86, "A_OPUS"),
                           EbmlText(0x22B59C, "fre"),
                           Ebml(0xE1, Concat({EbmlFloat(0xB5, 48000), EbmlUint(0x9F, 2)}))}));
    // Two blocks of track 1, at 0 and 960 ms after the cluster's time.
    const Bytes cluster = Ebml(
        0x1F43B675, Concat({EbmlUint(0xE7, clusterTime), Ebml(0xA3, {0x81, 0x00, 0x00, 0x80, 1}),
                            Ebml(0xA3, {0x81, 0x03, 0xC0, 0x80, 2})}));
    return Concat(
        {header, Ebml(0x18538067, Concat({segmentExtras, Ebml(0x1549A966, info),
                                          Ebml(0x1654AE6B, Concat({video, audio})), cluster}))});
}

} // namespace vidarium::testing

namespace vidarium::testing {

Bytes TsPacket(std::uint16_t pid, bool start, const Bytes& payload) {
    Bytes packet{0x47, static_cast<std::uint8_t>((start ? 0x40 : 0) | (pid >> 8)),
                 static_cast<std::uint8_t>(pid), 0x10};
    const std::size_t kept = std::min<std::size_t>(payload.size(), 184);
    if (kept < 184) {
        packet[3] = 0x30; // adaptation field, then payload
        const std::size_t stuffing = 184 - kept - 1;
        packet.push_back(static_cast<std::uint8_t>(stuffing));
        if (stuffing > 0) {
            packet.push_back(0x00);
            packet.insert(packet.end(), stuffing - 1, 0xFF);
        }
    }
    packet.insert(packet.end(), payload.begin(),
                  payload.begin() + static_cast<std::ptrdiff_t>(kept));
    return packet;
}

namespace {

Bytes PesWithPts(std::uint8_t streamId, std::uint64_t pts, const Bytes& data) {
    Bytes pes{0x00,
              0x00,
              0x01,
              streamId,
              0x00,
              0x00,
              0x80,
              0x80,
              0x05,
              static_cast<std::uint8_t>(0x21 | ((pts >> 29) & 0x0E)),
              static_cast<std::uint8_t>(pts >> 22),
              static_cast<std::uint8_t>(((pts >> 14) & 0xFE) | 1),
              static_cast<std::uint8_t>(pts >> 7),
              static_cast<std::uint8_t>(((pts << 1) & 0xFE) | 1)};
    pes.insert(pes.end(), data.begin(), data.end());
    return pes;
}

} // namespace

Bytes TransportStream(std::uint64_t lastPts, std::size_t filler) {
    // Tables (CRCs are not checked by the reader, so left zero).
    const Bytes pat{0x00, 0x00, 0xB0, 0x0D, 0x00, 0x01, 0xC1, 0x00, 0x00,
                    0x00, 0x01, 0xF0, 0x00, 0x00, 0x00, 0x00, 0x00};
    const Bytes pmt{0x00, 0x02, 0xB0, 0x17, 0x00, 0x01, 0xC1, 0x00, 0x00,
                    0xE1, 0x00, 0xF0, 0x00, 0x02, 0xE1, 0x00, 0xF0, 0x00,
                    0x03, 0xE1, 0x01, 0xF0, 0x00, 0x00, 0x00, 0x00, 0x00};
    // A sequence header: 352x288, 25 frames a second, 1,150,000 bit/s.
    const Bytes sequence{0x00, 0x00, 0x01, 0xB3, 0x16, 0x01, 0x20, 0x13, 0x0B, 0x3B, 0x20, 0x00};
    // An MPEG-1 layer II frame header: 192 kbit/s, 48 kHz, stereo.
    const Bytes frame{0xFF, 0xFD, 0xA4, 0x00};
    Bytes stream = Concat({TsPacket(0x0000, true, pat), TsPacket(0x1000, true, pmt),
                           TsPacket(0x0100, true, PesWithPts(0xE0, 0, sequence)),
                           TsPacket(0x0100, true, PesWithPts(0xE0, 3600, {0, 0, 1, 0})),
                           TsPacket(0x0101, true, PesWithPts(0xC0, 0, frame))});
    for (std::size_t i = 0; i < filler; ++i) {
        const Bytes null = TsPacket(0x1FFF, false, Bytes(184, 0xFF));
        stream.insert(stream.end(), null.begin(), null.end());
    }
    const Bytes last = TsPacket(0x0100, true, PesWithPts(0xE0, lastPts, {0, 0, 1, 0}));
    stream.insert(stream.end(), last.begin(), last.end());
    return stream;
}

Bytes PesPacket(std::uint8_t streamId, std::uint64_t pts, const Bytes& data) {
    Bytes pes = PesWithPts(streamId, pts, data);
    const std::size_t length = pes.size() - 6;
    pes[4] = static_cast<std::uint8_t>(length >> 8);
    pes[5] = static_cast<std::uint8_t>(length);
    return pes;
}

Bytes PsPack(const Bytes& packets) {
    return Concat(
        {{0x00, 0x00, 0x01, 0xBA, 0x44, 0x00, 0x04, 0x00, 0x04, 0x01, 0x01, 0x89, 0xC3, 0xF8},
         packets});
}

Bytes ProgramStream(std::uint64_t lastPts, std::size_t filler, std::uint32_t bitRateValue,
                    std::uint8_t soundStream, const Bytes& sound) {
    const Bytes sequence{0x00,
                         0x00,
                         0x01,
                         0xB3,
                         0x16,
                         0x01,
                         0x20,
                         0x13,
                         static_cast<std::uint8_t>(bitRateValue >> 10),
                         static_cast<std::uint8_t>(bitRateValue >> 2),
                         static_cast<std::uint8_t>(((bitRateValue & 3U) << 6) | 0x20),
                         0x00,
                         0x00,
                         0x00,
                         0x01,
                         0xB5,
                         0x14,
                         0x8A,
                         0x00,
                         0x01,
                         0x00,
                         0x00};
    const Bytes frame = sound.empty() ? Bytes{0xFF, 0xFD, 0xA4, 0x00} : sound;
    Bytes stream =
        Concat({PsPack(PesPacket(0xE0, 0, sequence)), PsPack(PesPacket(0xE0, 3600, {0, 0, 1, 0})),
                PsPack(PesPacket(soundStream, 0, frame))});
    for (std::size_t i = 0; i < filler; ++i) {
        Bytes padding{0x00, 0x00, 0x01, 0xBE, 0x07, 0xE0};
        padding.insert(padding.end(), 0x07E0, 0xFF);
        const Bytes pack = PsPack(padding);
        stream.insert(stream.end(), pack.begin(), pack.end());
    }
    const Bytes last = PsPack(PesPacket(0xE0, lastPts, {0, 0, 1, 0}));
    stream.insert(stream.end(), last.begin(), last.end());
    return stream;
}

} // namespace vidarium::testing

namespace vidarium::testing {
namespace {

void AppendLe64(Bytes& bytes, std::uint64_t value) {
    AppendLe32(bytes, static_cast<std::uint32_t>(value));
    AppendLe32(bytes, static_cast<std::uint32_t>(value >> 32));
}

Bytes AsfObject(const Bytes& guid, const Bytes& payload) {
    Bytes object = guid;
    AppendLe64(object, 24 + payload.size());
    object.insert(object.end(), payload.begin(), payload.end());
    return object;
}

Bytes Utf16Le(std::string_view text) {
    Bytes bytes;
    for (const char c : text) {
        AppendLe16(bytes, static_cast<std::uint8_t>(c));
    }
    AppendLe16(bytes, 0);
    return bytes;
}

} // namespace

Bytes AsfFile(const AsfParams& params) {
    const Bytes kHeader{0x30, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11,
                        0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};
    const Bytes kFile{0xA1, 0xDC, 0xAB, 0x8C, 0x47, 0xA9, 0xCF, 0x11,
                      0x8E, 0xE4, 0x00, 0xC0, 0x0C, 0x20, 0x53, 0x65};
    const Bytes kStream{0x91, 0x07, 0xDC, 0xB7, 0xB7, 0xA9, 0xCF, 0x11,
                        0x8E, 0xE6, 0x00, 0xC0, 0x0C, 0x20, 0x53, 0x65};
    const Bytes kExtension{0xB5, 0x03, 0xBF, 0x5F, 0x2E, 0xA9, 0xCF, 0x11,
                           0x8E, 0xE3, 0x00, 0xC0, 0x0C, 0x20, 0x53, 0x65};
    const Bytes kExtendedStream{0xCB, 0xA5, 0xE6, 0x14, 0x72, 0xC6, 0x32, 0x43,
                                0x83, 0x99, 0xA9, 0x69, 0x52, 0x06, 0x5B, 0x5A};
    const Bytes kContent{0x33, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11,
                         0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};
    const Bytes kAudio{0x40, 0x9E, 0x69, 0xF8, 0x4D, 0x5B, 0xCF, 0x11,
                       0xA8, 0xFD, 0x00, 0x80, 0x5F, 0x5C, 0x44, 0x2B};
    const Bytes kVideo{0xC0, 0xEF, 0x19, 0xBC, 0x4D, 0x5B, 0xCF, 0x11,
                       0xA8, 0xFD, 0x00, 0x80, 0x5F, 0x5C, 0x44, 0x2B};

    Bytes file(40, 0); // file ID, size, date, packet count
    AppendLe64(file, (params.playMs + 3100) * 10'000);
    AppendLe64(file, params.playMs * 10'000);
    AppendLe64(file, 3100);
    AppendLe32(file, params.broadcast ? 1 : 2);
    file.resize(file.size() + 8, 0); // packet sizes
    AppendLe32(file, params.maxBitRate);

    const auto stream = [&](const Bytes& type, std::uint16_t number, const Bytes& specific) {
        Bytes payload = type;
        payload.resize(payload.size() + 16 + 8, 0); // error correction type, time offset
        AppendLe32(payload, static_cast<std::uint32_t>(specific.size()));
        AppendLe32(payload, 0);
        AppendLe16(payload, number);
        AppendLe32(payload, 0);
        payload.insert(payload.end(), specific.begin(), specific.end());
        return AsfObject(kStream, payload);
    };
    Bytes video;
    AppendLe32(video, 320);
    AppendLe32(video, 240);
    video.push_back(2);
    AppendLe16(video, 40);
    video = Concat({video, BitmapInfoPayload(320, 240, params.videoCode)});
    const Bytes audio = WaveFormatPayload(0x161, 2, 44100, 16000, true);

    Bytes extended(16, 0); // start and end times
    AppendLe32(extended, 400'000);
    extended.resize(48, 0);
    AppendLe16(extended, 1);
    AppendLe16(extended, 0);
    AppendLe64(extended, 400'000); // 40 ms a frame
    AppendLe16(extended, 0);
    AppendLe16(extended, 0);
    Bytes extension(18, 0);
    const Bytes inner = params.extended ? AsfObject(kExtendedStream, extended) : Bytes{};
    AppendLe32(extension, static_cast<std::uint32_t>(inner.size()));
    extension = Concat({extension, inner});

    const Bytes title = Utf16Le(params.title);
    Bytes content;
    AppendLe16(content, static_cast<std::uint16_t>(title.size()));
    content.resize(content.size() + 8, 0);
    content = Concat({content, title});

    const Bytes children =
        Concat({AsfObject(kFile, file), AsfObject(kExtension, extension), stream(kVideo, 1, video),
                stream(kAudio, 2, audio), AsfObject(kContent, content)});
    Bytes header = kHeader;
    AppendLe64(header, params.declaredSize != 0 ? params.declaredSize : 30 + children.size());
    AppendLe32(header, 5);
    AppendLe16(header, 0x0201);
    return Concat({header, children, Repeat(0, 64)});
}

Bytes AmfProperty(std::string_view name, const Bytes& value) {
    Bytes bytes;
    AppendBe16(bytes, static_cast<std::uint16_t>(name.size()));
    AppendText(bytes, name);
    return Concat({bytes, value});
}

Bytes AmfNumber(std::string_view name, double value) {
    std::uint64_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    Bytes number{0};
    AppendBe64(number, bits);
    return AmfProperty(name, number);
}

Bytes AmfString(std::string_view name, std::string_view text) {
    Bytes value{2};
    AppendBe16(value, static_cast<std::uint16_t>(text.size()));
    AppendText(value, text);
    return AmfProperty(name, value);
}

Bytes FlvFile(const Bytes& metadata, std::uint32_t lastMs, const Bytes& sound) {
    Bytes file{'F', 'L', 'V', 1, 5};
    AppendBe32(file, 9);
    AppendBe32(file, 0);
    const auto tag = [&](std::uint8_t type, std::uint32_t time, const Bytes& data) {
        const auto size = static_cast<std::uint32_t>(data.size());
        file.push_back(type);
        for (const std::uint32_t value :
             {size >> 16, size >> 8, size, time >> 16, time >> 8, time, time >> 24}) {
            file.push_back(static_cast<std::uint8_t>(value));
        }
        file.insert(file.end(), 3, 0);
        file.insert(file.end(), data.begin(), data.end());
        AppendBe32(file, static_cast<std::uint32_t>(11 + data.size()));
    };
    if (!metadata.empty()) {
        Bytes script{2, 0, 10};
        AppendText(script, "onMetaData");
        script.push_back(8);
        AppendBe32(script, 0);
        tag(18, 0, Concat({script, metadata, Bytes{0, 0, 9}}));
    }
    // Spark: start code, version 0, picture 0, size code 5 (320x240).
    const Bytes picture{0x12, 0x00, 0x00, 0x80, 0x02, 0x80, 0x00, 0x00, 0x00, 0x00, 0x00};
    tag(9, 0, picture);
    tag(8, 0, sound.empty() ? Bytes{0x2F, 0xFF, 0xFB, 0x90, 0x04, 0, 0, 0} : sound);
    for (const std::uint32_t time : {40U, 80U, 120U, lastMs}) {
        tag(9, time, picture);
    }
    return file;
}

Bytes OggPage(std::uint32_t serial, std::uint8_t type, std::uint64_t granule,
              const std::vector<Bytes>& packets, bool open) {
    Bytes lacing;
    Bytes body;
    for (std::size_t i = 0; i < packets.size(); ++i) {
        std::size_t left = packets[i].size();
        for (; left >= 255; left -= 255) {
            lacing.push_back(255);
        }
        if (!(open && i + 1 == packets.size())) {
            lacing.push_back(static_cast<std::uint8_t>(left));
        }
        body.insert(body.end(), packets[i].begin(), packets[i].end());
    }
    Bytes page{'O', 'g', 'g', 'S', 0, type};
    AppendBe32(page, 0); // granule, filled below in little-endian order
    AppendBe32(page, 0);
    for (int i = 0; i < 8; ++i) {
        page[6 + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(granule >> (8 * i));
    }
    AppendLe32(page, serial);
    AppendLe32(page, 0);
    AppendLe32(page, 0); // checksum
    page.push_back(static_cast<std::uint8_t>(lacing.size()));
    page = Concat({page, lacing, body});
    std::uint32_t crc = 0;
    for (const std::uint8_t byte : page) {
        crc ^= std::uint32_t{byte} << 24;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 0x80000000U) != 0 ? (crc << 1) ^ 0x04C11DB7U : crc << 1;
        }
    }
    for (int i = 0; i < 4; ++i) {
        page[22 + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(crc >> (8 * i));
    }
    return page;
}

Bytes TheoraIdentification() {
    Bytes id{0x80};
    AppendText(id, "theora");
    id = Concat({id, Bytes{3, 2, 1, 0, 20, 0, 15}});
    id = Concat({id, Bytes{0, 1, 64, 0, 0, 240, 0, 0}}); // picture 320x240, offset 0
    AppendBe32(id, 25);
    AppendBe32(id, 1);
    id = Concat({id, Bytes{0, 0, 1, 0, 0, 1, 0, 0, 0, 0}}); // aspect 1:1, colour, rate
    AppendBe16(id, 6 << 5);                                 // granule shift 6
    return id;
}

Bytes VorbisIdentification() {
    Bytes id{1};
    AppendText(id, "vorbis");
    AppendLe32(id, 0);
    id.push_back(2);
    AppendLe32(id, 44100);
    AppendLe32(id, 0);
    AppendLe32(id, 128000);
    AppendLe32(id, 0);
    id.push_back(0xB8);
    id.push_back(1);
    return id;
}

Bytes VorbisComments(const Bytes& prefix, const std::vector<std::string>& comments) {
    Bytes header = prefix;
    AppendLe32(header, 6);
    AppendText(header, "vendor");
    AppendLe32(header, static_cast<std::uint32_t>(comments.size()));
    for (const std::string& comment : comments) {
        AppendLe32(header, static_cast<std::uint32_t>(comment.size()));
        AppendText(header, comment);
    }
    return header;
}

Bytes OggFile(std::uint64_t lastFrame) {
    Bytes theoraComments{0x81};
    AppendText(theoraComments, "theora");
    Bytes vorbisComments{3};
    AppendText(vorbisComments, "vorbis");
    return Concat({OggPage(1, 2, 0, {TheoraIdentification()}),
                   OggPage(2, 2, 0, {VorbisIdentification()}),
                   OggPage(1, 0, 0, {VorbisComments(theoraComments, {"title=Harbour"})}),
                   OggPage(2, 0, 0, {VorbisComments(vorbisComments, {"ARTIST=Crew"})}),
                   OggPage(2, 0, 44100, {Repeat(7, 300)}),
                   OggPage(1, 4, ((lastFrame - 5) << 6) + 5, {Repeat(9, 300)})});
}

} // namespace vidarium::testing
