// Matroska's clusters: the first blocks (a frame rate, a sound's first
// frame) and the last ones (the length).
#include "mkvload.h"

namespace vidarium::mkv {
namespace {

// A block's head: its track number, and its time as a signed 16-bit offset
// from its cluster's; then a byte of flags and the frames.
struct BlockHead {
    std::uint64_t Track = 0;
    std::int16_t Relative = 0;
    ByteSpan Frames;
};

std::optional<BlockHead> DecodeBlockHead(ByteSpan bytes) {
    const auto track = DecodeVint(bytes, 8, false);
    if (!track || bytes.size() < track->Length + 2) {
        return std::nullopt;
    }
    return BlockHead{track->Value, static_cast<std::int16_t>(LoadBe16(bytes, track->Length)),
                     BytesFrom(bytes, track->Length + 3)};
}

} // namespace

std::optional<std::uint64_t> MatroskaLoad::FirstClusterTimestamp(std::int64_t at,
                                                                 const Header& cluster) {
    const std::int64_t start = at + static_cast<std::int64_t>(cluster.Length);
    const auto header = HeaderAt(start);
    if (!header || header->Id != kTimestamp) {
        return std::nullopt;
    }
    return UnsignedAt(start + static_cast<std::int64_t>(header->Length), header->Size);
}

std::optional<std::uint64_t> MatroskaLoad::UnsignedAt(std::int64_t position, std::uint64_t size) {
    std::array<std::uint8_t, 8> bytes{};
    if (size > bytes.size() || source_.Seek(position) != position) {
        return std::nullopt;
    }
    const std::size_t count = source_.Read(std::span(bytes).first(static_cast<std::size_t>(size)));
    return Unsigned(ByteSpan(bytes.data(), count));
}

std::optional<std::uint64_t> MatroskaLoad::LastBlockEnd() {
    if (CMatroskaReader::kMaxTailWindow > CMatroskaReader::kMaxLoadBytes - loaded_) {
        return std::nullopt;
    }
    std::optional<std::uint64_t> end;
    SearchTail(source_, CMatroskaReader::kTailWindow, CMatroskaReader::kMaxTailWindow,
               [&](const FileWindow& window, std::size_t added) {
                   stop_.Check();
                   loaded_ += added;
                   memory_.Add(added);
                   end = LastBlockEndIn(window.Bytes);
                   return end.has_value();
               });
    return end;
}

template <typename Visit> void MatroskaLoad::ClusterBlocks(ByteSpan body, Visit&& visit) {
    std::optional<std::uint64_t> timestamp;
    const auto block = [&](ByteSpan bytes, std::uint64_t duration) {
        const auto head = DecodeBlockHead(bytes);
        if (!timestamp || *timestamp > std::uint64_t{INT64_MAX} - 32768 || !head) {
            return;
        }
        visit(head->Track, static_cast<std::int64_t>(*timestamp) + head->Relative, duration,
              head->Frames);
    };
    Children(body, 2, [&](std::uint32_t id, ByteSpan value) {
        if (id == kTimestamp) {
            timestamp = Unsigned(value);
        } else if (id == kSimpleBlock) {
            block(value, 0);
        } else if (id == kBlockGroup) {
            ByteSpan inner;
            std::uint64_t duration = 0;
            Children(value, 3, [&](std::uint32_t groupId, ByteSpan field) {
                if (groupId == kBlock) {
                    inner = field;
                } else if (groupId == kBlockDuration) {
                    duration = Unsigned(field);
                }
            });
            block(inner, duration);
        }
    });
}

std::optional<std::uint64_t>
MatroskaLoad::ClusterEnd(ByteSpan body,
                         const std::map<std::uint64_t, std::uint64_t>& frameDurations) {
    std::optional<std::uint64_t> end;
    ClusterBlocks(body,
                  [&](std::uint64_t track, std::int64_t time, std::uint64_t duration, ByteSpan) {
                      if (duration == 0) {
                          const auto frame = frameDurations.find(track);
                          duration = frame == frameDurations.end() ? 0 : frame->second;
                      }
                      if (time < 0 || duration > INT64_MAX - static_cast<std::uint64_t>(time)) {
                          return;
                      }
                      end = std::max(end.value_or(0), static_cast<std::uint64_t>(time) + duration);
                  });
    return end;
}

const std::vector<std::uint8_t>* MatroskaLoad::FirstClusterBody() {
    if (firstClusterBody_ || !firstCluster_) {
        return firstClusterBody_.value_or(nullptr);
    }
    const auto& [at, cluster] = *firstCluster_;
    const std::int64_t start = at + static_cast<std::int64_t>(cluster.Length);
    firstClusterBody_ = nullptr;
    if (start < size_) {
        const std::uint64_t length = std::min({cluster.Size, CMatroskaReader::kFirstBlocksWindow,
                                               static_cast<std::uint64_t>(size_ - start)});
        firstClusterBody_ = ReadPayload(start, length, CMatroskaReader::kFirstBlocksWindow);
    }
    return *firstClusterBody_;
}

std::optional<double> MatroskaLoad::FirstBlocksFrameRate(std::uint64_t trackNumber) {
    const auto* body = FirstClusterBody();
    if (body == nullptr) {
        return std::nullopt;
    }
    // Times in milliseconds, as the steady-step rule takes them.
    std::vector<std::uint32_t> times;
    const double milliseconds = static_cast<double>(timestampScale_) / 1e6;
    ClusterBlocks(*body, [&](std::uint64_t track, std::int64_t time, std::uint64_t, ByteSpan) {
        const double ms = static_cast<double>(time) * milliseconds;
        if (track == trackNumber && ms >= 0 && ms < 4e9) {
            times.push_back(static_cast<std::uint32_t>(std::llround(ms)));
        }
    });
    return SteadyFrameRate(std::move(times));
}

std::optional<std::int64_t> MatroskaLoad::BlockStart(const Header& child, std::int64_t payload) {
    if (child.Id == kSimpleBlock) {
        return payload;
    }
    if (child.Id == kBlockGroup) {
        if (const auto inner = HeaderAt(payload); inner && inner->Id == kBlock) {
            return payload + static_cast<std::int64_t>(inner->Length);
        }
    }
    return std::nullopt;
}

std::optional<double> MatroskaLoad::SteppedBlocksFrameRate(std::uint64_t trackNumber) {
    if (!firstCluster_) {
        return std::nullopt;
    }
    const auto& [at, cluster] = *firstCluster_;
    std::int64_t position = at + static_cast<std::int64_t>(cluster.Length);
    const std::int64_t end =
        cluster.Size == kUnknownSize ||
                cluster.Size > static_cast<std::uint64_t>(size_ - std::min(position, size_))
            ? size_
            : position + static_cast<std::int64_t>(cluster.Size);
    std::optional<std::uint64_t> timestamp;
    std::vector<std::uint32_t> times;
    const double milliseconds = static_cast<double>(timestampScale_) / 1e6;
    for (std::size_t element = 0; element < CMatroskaReader::kSteppedElements && position < end &&
                                  times.size() < CMatroskaReader::kSteppedFrames;
         ++element) {
        stop_.Check();
        const auto child = HeaderAt(position);
        const std::int64_t payload =
            position + static_cast<std::int64_t>(child ? child->Length : 0);
        if (!child || child->Size > static_cast<std::uint64_t>(end - std::min(payload, end))) {
            break;
        }
        position = payload + static_cast<std::int64_t>(child->Size);
        if (child->Id == kTimestamp) {
            timestamp = UnsignedAt(payload, child->Size);
            continue;
        }
        const auto block = timestamp && *timestamp <= std::uint64_t{INT32_MAX}
                               ? BlockStart(*child, payload)
                               : std::nullopt;
        // The track number and time: at most 10 bytes.
        std::array<std::uint8_t, 10> bytes{};
        const auto head = block && source_.Seek(*block) == *block
                              ? DecodeBlockHead(ByteSpan(bytes.data(), source_.Read(bytes)))
                              : std::nullopt;
        if (head && head->Track == trackNumber) {
            const double ms = (static_cast<double>(*timestamp) + head->Relative) * milliseconds;
            if (ms >= 0 && ms < 4e9) {
                times.push_back(static_cast<std::uint32_t>(std::llround(ms)));
            }
        }
    }
    return SteadyFrameRate(std::move(times));
}

std::optional<std::uint32_t> MatroskaLoad::FirstFrameBitRate(std::uint64_t trackNumber,
                                                             Codec codec) {
    const auto* body = FirstClusterBody();
    if (body == nullptr) {
        return std::nullopt;
    }
    std::optional<std::uint32_t> rate;
    ClusterBlocks(*body, [&](std::uint64_t track, std::int64_t, std::uint64_t, ByteSpan frames) {
        if (track != trackNumber || rate) {
            return;
        }
        // MPEG audio of either layer: the frame header tells which.
        const elementary::SoundFormat sound =
            elementary::DescribeSound(codec == Codec::Mp3 ? Codec::Mp2 : codec, frames);
        if (sound.Described && sound.Details.BitRate > 0) {
            rate = sound.Details.BitRate;
        }
    });
    return rate;
}

std::optional<std::uint64_t> MatroskaLoad::LastBlockEndIn(ByteSpan window) {
    // From the last cluster start back: the first whose timestamp and
    // blocks read whole gives the end of its last block.
    constexpr std::array<std::uint8_t, 4> kClusterId{0x1F, 0x43, 0xB6, 0x75};
    std::map<std::uint64_t, std::uint64_t> frameDurations; // by track number
    for (const TrackEntry& track : tracks_) {
        frameDurations.emplace(track.Number, track.DefaultDuration / timestampScale_);
    }
    // One pass back over the window; every candidate's children count
    // against the load's elements.
    for (std::size_t searched = window.size() + 1; searched-- > kClusterId.size();) {
        const std::size_t at = searched - kClusterId.size();
        if (!std::equal(kClusterId.begin(), kClusterId.end(),
                        window.begin() + static_cast<std::ptrdiff_t>(at))) {
            continue;
        }
        if (elements_ > CMatroskaReader::kMaxElements) {
            return std::nullopt;
        }
        stop_.Check();
        const auto cluster = DecodeHeader(window.subspan(at));
        if (!cluster) {
            continue;
        }
        ByteSpan body = window.subspan(at + cluster->Length);
        if (cluster->Size != kUnknownSize && cluster->Size < body.size()) {
            body = body.first(static_cast<std::size_t>(cluster->Size));
        }
        if (const auto end = ClusterEnd(body, frameDurations)) {
            return end;
        }
    }
    return std::nullopt;
}

std::optional<std::int64_t> MatroskaLoad::DurationMs() {
    // The stated duration (Firefox writes 0 for "not known"), else the end
    // of the last block.
    const double nanoseconds = duration_.value_or(0) * static_cast<double>(timestampScale_);
    if (nanoseconds > 0 && nanoseconds < 1e18) {
        return std::llround(nanoseconds / 1e6);
    }
    if (const auto end = LastBlockEnd()) {
        const std::uint64_t start = std::min(firstClusterTime_.value_or(0), *end);
        const long double last = static_cast<long double>(*end - start) * timestampScale_ / 1e6L;
        if (last < 1e15L) {
            return std::llround(static_cast<double>(last));
        }
    }
    return std::nullopt;
}

} // namespace vidarium::mkv
