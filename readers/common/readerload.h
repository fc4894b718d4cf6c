// One load of a reader that raises the reader error: whatever goes wrong
// inside it, the file is closed first and the caller gets one error that
// names the file.
#pragma once

#include "bytesource.h"
#include "readererror.h"

#include <exception>
#include <filesystem>

namespace vidarium {

// Runs `load` over `source`; any fault becomes the reader error, with the
// fault itself nested under it (std::rethrow_if_nested reaches it).
template <typename Load>
bool LoadOrRaise(ByteSource& source, const std::filesystem::path& path, const ReaderOrigin& origin,
                 Load&& load) {
    try {
        return load(source);
    } catch (...) {
        std::throw_with_nested(ReaderError::ForLoad(origin, path));
    }
}

// Opens `path` read-only and runs `load` over it. A file that cannot be
// opened, and any fault of the load, become the reader error once the file
// is closed.
template <typename Load>
bool LoadFileOrRaise(const std::filesystem::path& path, const ReaderOrigin& origin, Load&& load) {
    std::exception_ptr fault;
    bool result = false;
    {
        FileSource file;
        if (!file.Open(path)) {
            throw ReaderError::ForLoad(origin, path);
        }
        try {
            result = load(file);
        } catch (...) {
            fault = std::current_exception(); // raised below, once the file is closed
        }
    }
    if (fault) {
        try {
            std::rethrow_exception(fault);
        } catch (...) {
            std::throw_with_nested(ReaderError::ForLoad(origin, path));
        }
    }
    return result;
}

} // namespace vidarium
