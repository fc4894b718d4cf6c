// Byte builders for synthesized movie files. Sizes are computed unless a test
// asks for a wrong one on purpose.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vidarium::testing {

using Bytes = std::vector<std::uint8_t>;

void AppendLe16(Bytes& bytes, std::uint16_t value);
void AppendLe32(Bytes& bytes, std::uint32_t value);
void AppendBe16(Bytes& bytes, std::uint16_t value);
void AppendBe32(Bytes& bytes, std::uint32_t value);
void AppendText(Bytes& bytes, std::string_view text);
Bytes Concat(std::initializer_list<Bytes> parts);
Bytes Repeat(std::uint8_t value, std::size_t count);

void WriteFile(const std::filesystem::path& path, const Bytes& bytes);
// Writes `bytes` at `offset` of an existing file (a sparse file's far end).
void WriteAt(const std::filesystem::path& path, std::uint64_t offset, const Bytes& bytes);
// Sets every file below `root` (or `root` itself) to have last changed an
// hour ago: a catalogue reads again a file that changed just before it was
// read, and a test's files always have.
void Backdate(const std::filesystem::path& root);

// --- RIFF / AVI -------------------------------------------------------------

// A chunk with its pad byte after an odd payload. `declaredSize` replaces the
// size field (the payload is written as given).
Bytes Chunk(std::string_view id, const Bytes& payload,
            std::optional<std::uint32_t> declaredSize = std::nullopt);
Bytes List(std::string_view type, std::initializer_list<Bytes> children,
           std::optional<std::uint32_t> declaredSize = std::nullopt);
Bytes Riff(std::string_view form, std::initializer_list<Bytes> children,
           std::optional<std::uint32_t> declaredSize = std::nullopt);

Bytes AviMainHeaderPayload(std::uint32_t microSecPerFrame, std::uint32_t totalFrames,
                           std::uint32_t width = 320, std::uint32_t height = 240);
Bytes StreamHeaderPayload(std::string_view type, std::string_view handler, std::uint32_t scale,
                          std::uint32_t rate, std::uint32_t length = 0);
Bytes WaveFormatPayload(std::uint16_t tag, std::uint16_t channels, std::uint32_t samplesPerSec,
                        std::uint32_t avgBytesPerSec, bool withCbSize = true);
Bytes BitmapInfoPayload(std::int32_t width, std::int32_t height, std::string_view compression);

struct AviParams {
    std::uint32_t microSecPerFrame = 40000;
    std::uint32_t totalFrames = 250;
    std::string_view videoHandler = "DIVX";
    std::string_view compression = {}; // the bitmap's, when not the handler
    std::uint32_t scale = 1;
    std::uint32_t rate = 25;
    std::int32_t width = 320;
    std::int32_t height = 240;
    std::uint16_t audioTag = 0x55;
    std::uint16_t channels = 2;
    std::uint32_t samplesPerSec = 44100;
    std::uint32_t avgBytesPerSec = 16000;
    std::uint32_t audioSamples = 0; // the sound stream header's length
    std::size_t movieBytes = 64;    // sample data inside "movi"
};

// hdrl (avih, video strl, audio strl), movi, idx1: the usual layout.
Bytes AviFile(const AviParams& params = {});
// The same with `chunk` first in the RIFF, before its header list.
Bytes AviFileWithFirst(const Bytes& chunk, const AviParams& params = {});

// --- MPEG video ----------------------------------------------------------------

Bytes SequenceHeader(unsigned width, unsigned height, unsigned frameRateCode,
                     std::uint32_t bitRateValue);
Bytes GopHeader(unsigned hours, unsigned minutes, unsigned seconds, unsigned pictures);

// A sequence header, a GOP at `startSeconds`, filler, and a last GOP at
// `endSeconds` near the end of a file of `totalBytes` bytes.
Bytes MpegFile(unsigned width, unsigned height, unsigned frameRateCode, std::uint32_t bitRateValue,
               unsigned startSeconds, unsigned endSeconds, std::size_t totalBytes = 4096);

// --- QuickTime ---------------------------------------------------------------

// An atom with a computed (or deliberately wrong) 32-bit size.
Bytes Atom(std::string_view type, const Bytes& payload,
           std::optional<std::uint32_t> declaredSize = std::nullopt);
Bytes Container(std::string_view type, std::initializer_list<Bytes> children,
                std::optional<std::uint32_t> declaredSize = std::nullopt);
// The 64-bit form: size field 1, then the 64-bit size (computed, or
// deliberately wrong) after the type.
Bytes Atom64(std::string_view type, const Bytes& payload,
             std::optional<std::uint64_t> declaredSize = std::nullopt);
void AppendBe64(Bytes& bytes, std::uint64_t value);

// Movie and media headers (version 0, 32-bit times).
Bytes TimeHeaderPayload(std::uint32_t timeScale, std::uint32_t duration);
Bytes HandlerPayload(std::string_view componentType, std::string_view subtype);
Bytes VideoDescriptions(std::string_view format, std::uint16_t width, std::uint16_t height,
                        std::string_view compressorName, std::uint8_t nameLength = 0xFF);

struct SoundParams {
    std::string_view format = "twos";
    std::uint16_t version = 0;
    std::uint16_t channels = 2;
    std::uint16_t sampleSize = 16;
    std::uint32_t sampleRateFixed = 44100U << 16; // 16.16
    std::uint32_t samplesPerPacket = 0;
    std::uint32_t bytesPerFrame = 0;
};
Bytes SoundDescriptions(const SoundParams& params);

// trak > mdia > (mdhd, hdlr, minf > stbl > stsd)
Bytes Track(std::string_view subtype, std::uint32_t timeScale, std::uint32_t duration,
            const Bytes& sampleDescriptions, std::string_view componentType = "mhlr",
            bool withMediaHeader = true);
// A QuickTime text item: length, language, text.
Bytes UserDataItem(std::string_view type, std::string_view text, std::uint16_t language = 0);

// "moov" > "cmov" > ("dcom", "cmvd") holding `movie` compressed with zlib.
Bytes CompressedMovie(const Bytes& movie, std::optional<std::uint32_t> declaredSize = std::nullopt,
                      std::string_view method = "zlib");
Bytes ZlibCompress(const Bytes& bytes);
// `head` followed by `fillCount` bytes of `fill`, compressed with zlib a block
// at a time: a large expansion without holding it in memory.
Bytes ZlibCompressFilled(const Bytes& head, std::uint8_t fill, std::size_t fillCount);
// "moov" > "cmov" > ("dcom" zlib, "cmvd" with `declaredSize` and `stream`).
Bytes CompressedMovieStream(const Bytes& stream, std::uint32_t declaredSize);

// --- ISO base media (MP4) -----------------------------------------------------

// A full box: version, flags, then the payload.
Bytes FullBox(std::string_view type, std::uint8_t version, const Bytes& payload,
              std::uint32_t flags = 0);

struct IsoTrackParams {
    std::string_view handler = "vide";
    std::string_view code = "avc1";
    std::uint32_t timeScale = 12800;
    std::uint32_t samples = 125;
    std::uint32_t sampleDelta = 512;
    std::uint32_t sampleBytes = 1000; // every sample's size
    std::uint16_t width = 640;        // video
    std::uint16_t height = 360;
    std::uint16_t channels = 2; // sound: the sample entry's placeholders
    std::uint32_t sampleRate = 48000;
    std::uint16_t soundVersion = 0;    // of the sound description
    std::uint16_t sampleSize = 16;     // its version 0 field
    Bytes soundFields;                 // version 1's 16 bytes or version 2's 36, after the rate
    Bytes children;                    // boxes after the sample entry's fields (avcC, esds, ...)
    int rotation = 0;                  // 0, 90, 180 or 270, clockwise, in the display matrix
    bool sampleTable = true;           // false: the samples are in fragments
    std::string_view language = "und"; // the media header's three letters
    std::vector<std::uint32_t> chunkOffsets; // an stco of these, when any
};
Bytes IsoTrack(const IsoTrackParams& params, std::uint32_t trackId = 1);

struct IsoParams {
    std::string_view brand = "isom";
    std::uint32_t timeScale = 1000;
    std::uint32_t duration = 5000;
    std::vector<IsoTrackParams> tracks{IsoTrackParams{}};
    Bytes movieExtras; // more boxes inside "moov" (udta, mvex, ...)
    bool movieLast = false;
    std::size_t mediaBytes = 64;
};
// ftyp, then moov and mdat in either order.
Bytes IsoMovie(const IsoParams& params = {});

// An avcC of one short sequence parameter set.
Bytes AvcConfigBox(std::uint8_t profile, std::uint8_t level);
// An esds of MPEG-4 audio with the AudioSpecificConfig `config`.
Bytes AacConfigBox(const Bytes& config, std::uint8_t objectType = 0x40);
// An "ilst" item with UTF-8 text.
Bytes IlstItem(std::string_view type, std::string_view text);

} // namespace vidarium::testing

namespace vidarium::testing {

// One Matroska element: its ID as written (1 to 4 bytes, the length marker
// included) and an 8-byte size, or the "unknown" size.
Bytes Ebml(std::uint32_t id, const Bytes& payload, bool unknownSize = false);
Bytes EbmlUint(std::uint32_t id, std::uint64_t value);
Bytes EbmlFloat(std::uint32_t id, double value);
Bytes EbmlText(std::uint32_t id, std::string_view text);
// A WebM file: a 640x360 AVC video track at 25 frames a second and a 48 kHz
// stereo sound track, a title, one cluster of two blocks at `clusterTime`
// milliseconds; `duration` in milliseconds, or none stated when negative.
Bytes MatroskaFile(double duration = 5000, std::uint64_t clusterTime = 4000,
                   const Bytes& segmentExtras = {});

} // namespace vidarium::testing

namespace vidarium::testing {

// One 188-byte transport packet of `pid`, its payload padded in front by an
// adaptation field of stuffing (a payload over 184 bytes is cut).
Bytes TsPacket(std::uint16_t pid, bool start, const Bytes& payload);
// A transport stream: its programme tables, MPEG-2 video (352x288, 25 frames
// a second) on PID 0x100 and MPEG audio on PID 0x101, video frames at times
// 0 and 3600 and a last one at `lastPts`, `filler` null packets before it.
Bytes TransportStream(std::uint64_t lastPts = 900000, std::size_t filler = 0);
// A PES packet with its length and a presentation time.
Bytes PesPacket(std::uint8_t streamId, std::uint64_t pts, const Bytes& data);
// An MPEG-2 pack header (SCR 0, 10.08 Mbit/s) followed by `packets`.
Bytes PsPack(const Bytes& packets);
// A program stream: MPEG-2 video (352x288, 25 frames a second, Main@Main,
// stating `bitRateValue` x 400 bit/s) at times 0 and 3600, `sound` (one
// packet of stream `soundStream`, the MP2 frame of TransportStream by
// default), `filler` padding packs, and a last video frame at `lastPts`.
Bytes ProgramStream(std::uint64_t lastPts = 900000, std::size_t filler = 0,
                    std::uint32_t bitRateValue = 2875, std::uint8_t soundStream = 0xC0,
                    const Bytes& sound = {});

} // namespace vidarium::testing

namespace vidarium::testing {

// A Windows Media header object: file properties (`playMs` of play, a
// 3,100 ms preroll, `broadcast` flag), a 320x240 video stream of
// `videoCode`, a WMA 44.1 kHz stereo stream, a title, and (`extended`) the
// video's extended properties at 25 frames a second and 400 kbit/s. The
// header object states `declaredSize`, or its own size when 0.
struct AsfParams {
    std::uint64_t playMs = 5000;
    bool broadcast = false;
    std::string_view videoCode = "WMV2";
    bool extended = true;
    std::string_view title = "Harbour";
    std::uint64_t declaredSize = 0;
    std::uint32_t maxBitRate = 0; // the file properties' rate for all streams
};
Bytes AsfFile(const AsfParams& params = {});

// An FLV file: onMetaData with `metadata` (a ready AMF0 ECMA array body of
// properties, or none when empty), then a Sorenson Spark 320x240 picture
// every 40 ms from 0 to 120 and a sound tag of `sound` (by default an MP3
// frame, 44.1 kHz stereo, 128 kbit/s), and the last tag at `lastMs`.
Bytes FlvFile(const Bytes& metadata, std::uint32_t lastMs = 2000, const Bytes& sound = {});
// One AMF0 property: a name and a number, a string, or any value.
Bytes AmfNumber(std::string_view name, double value);
Bytes AmfString(std::string_view name, std::string_view text);
Bytes AmfProperty(std::string_view name, const Bytes& value);

// An Ogg page of `serial` holding `packets` whole (`continued`: the first
// continues a packet of the page before; `open`: the last goes on), with a
// valid checksum.
Bytes OggPage(std::uint32_t serial, std::uint8_t type, std::uint64_t granule,
              const std::vector<Bytes>& packets, bool open = false);
// Theora's identification header (320x240, 25 frames a second, granule
// shift 6) and a Vorbis one (44.1 kHz stereo, 128 kbit/s).
Bytes TheoraIdentification();
Bytes VorbisIdentification();
// A comment header with the codec's magic `prefix` and "KEY=value" comments.
Bytes VorbisComments(const Bytes& prefix, const std::vector<std::string>& comments);
// An Ogg file of Theora (serial 1) and Vorbis (serial 2) with a title, and
// a last Theora page at frame `lastFrame` (keyframe index and offset).
Bytes OggFile(std::uint64_t lastFrame = 125);

} // namespace vidarium::testing
