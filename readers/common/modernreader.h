// What every modern reader (ISO, Matroska, transport stream, Windows Media,
// FLV, Ogg) shares: the Stop it watches, whether the last file was its own
// container, the summary of its last load, and the one way a load runs.
#pragma once

#include "loadstop.h"
#include "mediasummary.h"
#include "readerload.h"

#include <atomic>
#include <filesystem>

namespace vidarium {

// What a load made of a file: not its container at all, its container but
// refused (no video or sound to describe), or accepted.
enum class LoadVerdict { Foreign, Refused, Accepted };

inline LoadVerdict VerdictOf(bool recognised, bool accepted) {
    return !recognised ? LoadVerdict::Foreign
           : accepted  ? LoadVerdict::Accepted
                       : LoadVerdict::Refused;
}

// What a load is built with: the file, its path, the summary it fills and
// the Stop it checks.
struct LoadContext {
    ByteSource& Source;
    const std::filesystem::path& Path;
    MediaSummary& Summary;
    const LoadStop& Stop;
};

class CModernReader {
public:
    void WatchStopFlag(const std::atomic<bool>* flag) { stop_.Watch(flag); }

    // The last file was this reader's container, accepted or not.
    bool RecognisedContainer = false;
    MediaSummary Summary;

protected:
    // One load: the last one's results cleared, then a `Load` built over
    // the file (with the reader's own `extra` counters) and run for its
    // verdict; any fault raised as the reader error that names the file.
    template <typename Load, typename... Extra>
    bool RunLoad(ByteSource& source, const std::filesystem::path& path, const ReaderOrigin& origin,
                 Extra&... extra) {
        Summary = {};
        RecognisedContainer = false;
        return LoadOrRaise(source, path, origin, [&](ByteSource& file) {
            Load load(LoadContext{file, path, Summary, stop_}, extra...);
            const LoadVerdict verdict = load.Run();
            RecognisedContainer = verdict != LoadVerdict::Foreign;
            return verdict == LoadVerdict::Accepted;
        });
    }

    LoadStop stop_;
};

} // namespace vidarium
