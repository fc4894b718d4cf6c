// A QuickTime load for tests: the result and the reader that holds the fields.
#pragma once

#include "builders.h"
#include "bytesource.h"
#include "filerow.h"
#include "movreader.h"

#include <filesystem>
#include <memory>

namespace vidarium::testing {

// The Comments cell of a movie's row.
inline std::string CommentsOf(const CQuickTimeReader& reader) {
    return MakeMovRow("m.mov", 0, reader).SubItems.back();
}

struct LoadedMovie {
    bool ok = false;
    std::unique_ptr<CQuickTimeReader> reader = std::make_unique<CQuickTimeReader>();
};

inline LoadedMovie LoadMovie(const Bytes& bytes) {
    LoadedMovie loaded;
    MemorySource source(bytes);
    loaded.ok = loaded.reader->LoadFromSource(source, "memory.mov");
    return loaded;
}

inline LoadedMovie LoadMovie(const std::filesystem::path& path) {
    LoadedMovie loaded;
    loaded.ok = loaded.reader->LoadFromFile(path);
    return loaded;
}

} // namespace vidarium::testing
