// What every modern reader (ISO, Matroska, transport stream, Windows Media,
// FLV, Ogg) shares: the Stop it watches, whether the last file was its own
// container, and the summary of its last load.
#pragma once

#include "loadstop.h"
#include "mediasummary.h"
#include "readerload.h"

#include <atomic>
#include <filesystem>
#include <utility>

namespace vidarium {

class CModernReader {
public:
    void WatchStopFlag(const std::atomic<bool>* flag) { stop_.Watch(flag); }

    // The last file was this reader's container, accepted or not.
    bool RecognisedContainer = false;
    MediaSummary Summary;

protected:
    // One load: the last one's results cleared, then `load` run over the
    // source, any fault raised as the reader error that names the file.
    template <typename Load>
    bool RunLoad(ByteSource& source, const std::filesystem::path& path, const ReaderOrigin& origin,
                 Load&& load) {
        Summary = {};
        RecognisedContainer = false;
        return LoadOrRaise(source, path, origin, std::forward<Load>(load));
    }

    LoadStop stop_;
};

} // namespace vidarium
