// One load of a reader that raises the reader error: whatever goes wrong
// inside it, the file is closed first and the caller gets one error that
// names the file.
#pragma once

#include "bytesource.h"
#include "readererror.h"

#include <filesystem>

namespace vidarium {

// Runs `load` over `source`; any fault becomes the reader error.
template <typename Load>
bool LoadOrRaise(ByteSource& source, const std::filesystem::path& path, const ReaderOrigin& origin,
                 Load&& load) {
    try {
        return load(source);
    } catch (...) {
        throw ReaderError::ForLoad(origin, path);
    }
}

// Opens `path` read-only and runs `load` over it. A file that cannot be
// opened, and any fault of the load, become the reader error once the file
// is closed.
template <typename Load>
bool LoadFileOrRaise(const std::filesystem::path& path, const ReaderOrigin& origin, Load&& load) {
    bool faulted = true;
    bool result = false;
    {
        FileSource file;
        if (file.Open(path)) {
            try {
                result = load(file);
                faulted = false;
            } catch (...) {
                // Raised below, after the file has been closed.
            }
        }
    }
    if (faulted) {
        throw ReaderError::ForLoad(origin, path);
    }
    return result;
}

} // namespace vidarium
