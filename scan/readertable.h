// The readers, in one table: for each, its content test, its load and its
// row. A file's extension decides only whether the file is listed and the
// classic readers' order; with all formats on, a file that no classic reader
// accepts goes to the readers whose content test its first bytes pass.
#pragma once

#include "filerow.h"

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace vidarium {

class ByteSource;
class ReaderSet; // readerset.h: the readers themselves, for the scan alone

enum class ReaderKind { Avi, QuickTime, Mpeg, Iso, Matroska, Ts, Asf, Flv, Ogg, Ps, AviStreams };
// How many kinds there are: AviStreams stays the last.
inline constexpr std::size_t kReaderKinds = static_cast<std::size_t>(ReaderKind::AviStreams) + 1;

// What a row needs of the file besides its bytes.
struct FileFacts {
    const std::filesystem::path& Path;
    const std::function<std::string()>& Caption; // the bare name as locale text
    std::uint64_t Size;
};

struct ReaderEntry {
    ReaderKind Kind;
    // Whose name its rows carry, and that name in the JSON rows and the
    // scan's statistics (the same for every entry of one source).
    RowSource Source;
    std::string_view SourceName;
    // A modern reader: the formats it lists ("Matroska, WebM") and the
    // extensions that list a file for it alone, with all formats on. Empty
    // for the classic readers, whose extensions have their fixed orders.
    std::string_view Formats;
    std::span<const std::string_view> Extensions;
    // A search for start codes anywhere in the file, which any container
    // holding them passes: tried only where no earlier reader recognised
    // its own container.
    bool SearchesBytes;
    // Tried by content (all formats on): the test of the file's first bytes.
    // Null for a reader that only its extension order reaches.
    bool (*Recognises)(std::span<const std::uint8_t> head);
    // One load: the row, or nothing when the reader refuses the file. A
    // fault raises; the caller counts it as a refusal.
    std::optional<FileRow> (*Load)(ReaderSet& readers, ByteSource& source, const FileFacts& file);
    // After a refusal or a fault: the reader saw its own container there.
    bool (*RecognisedContainer)(const ReaderSet& readers);
};

std::span<const ReaderEntry> ReaderTable();
// Raised by every change that alters a row a reader gives (a value, a
// name, a text's cleaning): a catalogue's rows of an older generation are
// read again. 3: the AVI sides, program-stream codecs, ADTS rates, cleaned
// texts; 4: one code per language; 5: codes named by their track's kind and
// the professional codecs, uncompressed sound's rates, no control byte in a
// classic row, TrueHD's and transport segments' values, Matroska rates;
// 6: Flash sound's channels from its tags, video elementary streams' rows,
// AAC rates in transport streams, Windows Media rates, files cut short;
// 7: the fingerprints of the first and last blocks, for probable copies.
inline constexpr std::int64_t kReaderGeneration = 7;
// The kind's row; raises std::out_of_range for a kind the table lacks.
const ReaderEntry& ReaderFor(ReaderKind kind);
// The JSON rows' and the statistics' name of a row's source: "none" for a
// plain row, else its readers' name ("mp4").
std::string_view RowSourceName(RowSource source);
// What all formats on adds, for help texts: "MP4, M4V, 3GP, ... and Ogg video".
std::string ModernFormatsText();

// The readers a file's extension selects, in the order they are tried: for
// a classic extension the modern readers that understand its files better
// (tried only with all formats on), then the classic ones; for a modern
// extension its modern reader.
std::span<const ReaderKind> ReaderOrderFor(std::string_view lowerCaseExtension);
// Whether a file with this extension is listed at all.
bool IsListedExtension(std::string_view lowerCaseExtension, bool allFormats);
// Whether a reader of `source` can have made the row of a file of that
// extension: with "All formats" on, any reader (the content decides); off,
// only a classic reader of its order, or none.
bool SourceCanMake(RowSource source, std::string_view lowerCaseExtension, bool allFormats);

// How many of a file's first bytes the content tests look at.
inline constexpr std::size_t kContentHeadBytes = 1024;

// Reads one open file: the readers of its extension in order (the modern
// ones only with all formats on), then, with all formats on, the readers its
// content names. Each row goes to
// `add`, which may raise: that counts as the reader's refusal. Returns true
// once a row was added; false when no reader accepted the file or `stop` was
// set during a load (the caller then gives it its plain row).
bool AddReaderRow(ReaderSet& readers, ByteSource& source, const FileFacts& file,
                  std::span<const ReaderKind> order, bool allFormats, const std::atomic<bool>& stop,
                  const std::function<void(FileRow)>& add);

} // namespace vidarium
