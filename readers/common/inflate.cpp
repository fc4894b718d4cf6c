#include "inflate.h"

#include <zlib.h>

#include <algorithm>
#include <array>

namespace vidarium {
namespace {

// inflateEnd on every path out of the expansion.
class InflateStream {
public:
    InflateStream() : ready_(inflateInit(&stream_) == Z_OK) {}
    ~InflateStream() {
        if (ready_) {
            inflateEnd(&stream_);
        }
    }
    bool Ready() const { return ready_; }
    InflateStream(const InflateStream&) = delete;
    InflateStream& operator=(const InflateStream&) = delete;
    z_stream* operator->() { return &stream_; }
    z_stream* get() { return &stream_; }

private:
    z_stream stream_{};
    bool ready_;
};

} // namespace

std::optional<std::vector<std::uint8_t>> InflateMovieHeader(std::span<const std::uint8_t> input,
                                                            std::uint32_t expected,
                                                            std::size_t& budget,
                                                            const LoadStop& stop) {
    if (expected >= 0x80000000U) {
        return std::nullopt; // declared expanded size of 2 GiB or more
    }
    InflateStream stream;
    if (!stream.Ready()) {
        return std::nullopt;
    }
    const std::size_t ceiling = budget;
    std::array<std::uint8_t, 16 * 1024> scratch; // NOLINT: written before it is read
    stream->next_in = const_cast<Bytef*>(input.data());
    stream->avail_in = static_cast<uInt>(input.size());
    std::size_t produced = 0;
    for (;;) {
        stop.Check();
        if (produced == ceiling) {
            return std::nullopt; // expanded movie header too large
        }
        stream->next_out = scratch.data();
        stream->avail_out =
            static_cast<uInt>(std::min<std::size_t>(scratch.size(), ceiling - produced));
        const uInt before = stream->avail_out;
        const int result = inflate(stream.get(), Z_NO_FLUSH);
        const std::size_t made = before - stream->avail_out;
        produced += made;
        budget -= made;
        if (result == Z_STREAM_END) {
            break; // input bytes after the end of the stream are ignored
        }
        if (result != Z_OK && result != Z_BUF_ERROR) {
            return std::nullopt; // corrupt compressed movie header
        }
        if (stream->avail_out > 0 && stream->avail_in == 0) {
            return std::nullopt; // compressed movie header ends early
        }
    }

    // One byte more than the count, so that the second expansion can only
    // end where the first did.
    std::vector<std::uint8_t> output(produced + 1);
    if (inflateReset(stream.get()) != Z_OK) {
        return std::nullopt;
    }
    stream->next_in = const_cast<Bytef*>(input.data());
    stream->avail_in = static_cast<uInt>(input.size());
    std::size_t written = 0;
    for (;;) {
        stream->next_out = output.data() + written;
        stream->avail_out =
            static_cast<uInt>(std::min<std::size_t>(output.size() - written, 1U << 30));
        const uInt before = stream->avail_out;
        const int result = inflate(stream.get(), Z_NO_FLUSH);
        written += before - stream->avail_out;
        if (result == Z_STREAM_END && written == produced) {
            output.pop_back();
            return output;
        }
        if (result != Z_OK || written > produced) {
            return std::nullopt;
        }
    }
}

std::size_t ExpectedExpansion(std::uint32_t declared, std::size_t compressed, std::size_t budget) {
    const std::uint64_t most = std::uint64_t{compressed} * 1032 + 256;
    return static_cast<std::size_t>(std::min<std::uint64_t>({declared, most, budget}));
}

} // namespace vidarium
