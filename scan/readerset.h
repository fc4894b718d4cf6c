// One instance of every reader, for the scan's loaders alone: the window,
// the command line and the catalogue know the readers only through the
// reader table, so a reader's header change rebuilds only the scan.
#pragma once

#include "asfreader.h"
#include "avireader.h"
#include "flvreader.h"
#include "isoreader.h"
#include "mkvreader.h"
#include "movreader.h"
#include "mpegreader.h"
#include "oggreader.h"
#include "psreader.h"
#include "tsreader.h"

#include <atomic>
#include <tuple>

namespace vidarium {

// One instance of every reader, reused file after file by one loader. Stop
// reaches every reader of the tuple: a new reader needs no other list.
class ReaderSet {
public:
    template <typename Reader> Reader& Get() { return std::get<Reader>(readers_); }
    template <typename Reader> const Reader& Get() const { return std::get<Reader>(readers_); }

    // Stop ends a load in progress at its next box, atom or chunk.
    void WatchStopFlag(const std::atomic<bool>* flag) {
        std::apply([flag](auto&... reader) { (reader.WatchStopFlag(flag), ...); }, readers_);
    }
    // Gives back what the last load holds once its row is made (an expanded
    // movie header may hold a hundred megabytes until the next load).
    void ReleaseHeldMemory() { Get<CQuickTimeReader>().Clear(); }

private:
    std::tuple<CAVIHeaderReader, CQuickTimeReader, CMPEGHeaderReader, CIsoReader, CMatroskaReader,
               CTsReader, CAsfReader, CFlvReader, COggReader, CPsReader>
        readers_;
};

} // namespace vidarium
