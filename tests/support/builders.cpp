#include "builders.h"

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

Bytes AviFile(const AviSpec& spec) {
    const Bytes hdrl =
        List("hdrl",
             {Chunk("avih", AviMainHeaderPayload(spec.microSecPerFrame, spec.totalFrames,
                                                 static_cast<std::uint32_t>(spec.width),
                                                 static_cast<std::uint32_t>(spec.height))),
              List("strl",
                   {Chunk("strh", StreamHeaderPayload("vids", spec.videoHandler, spec.scale,
                                                      spec.rate, spec.totalFrames)),
                    Chunk("strf", BitmapInfoPayload(spec.width, spec.height, spec.videoHandler))}),
              List("strl",
                   {Chunk("strh", StreamHeaderPayload("auds", "", 1, spec.samplesPerSec)),
                    Chunk("strf", WaveFormatPayload(spec.audioTag, spec.channels,
                                                    spec.samplesPerSec, spec.avgBytesPerSec))})});
    const Bytes movi = List("movi", {Chunk("00dc", Repeat(0xAB, spec.movieBytes))});
    const Bytes idx1 = Chunk("idx1", Repeat(0, 16));
    return Riff("AVI ", {hdrl, movi, idx1});
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

} // namespace vidarium::testing
