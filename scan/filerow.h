// The rows of the file list: the exact text of every cell, and the line that
// a row becomes in an export.
#pragma once

#include "byteorder.h"
#include "mediasummary.h"

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vidarium {

class CAVIHeaderReader;
class CMPEGHeaderReader;
class CQuickTimeReader;

// Which reader gave a row; Plain when none accepted the file.
enum class RowSource { Plain, Avi, QuickTime, Mpeg, Iso, Matroska, Ts, Asf, Flv, Ogg, Ps };
// How many sources there are, counted to the last. Their numbers are kept
// in the catalogue's rows, so a new source goes at the end, and this counts
// to it. Each has its name in the reader table (RowSourceName).
inline constexpr std::size_t kRowSources = static_cast<std::size_t>(RowSource::Ps) + 1;

// What tells a file that changed from the one read: its size, when it was
// last changed (nanoseconds since 1970, 0: not known) and its inode.
struct FileStamp {
    std::uint64_t Size = 0;
    std::int64_t ModifiedNs = 0;
    std::uint64_t Inode = 0;
    friend bool operator==(const FileStamp&, const FileStamp&) = default;
};

// A row is its caption and the sub-items it really has: an AVI or MPEG row
// has 11, a QuickTime row 12, a plain row 1. The count matters for export.
// The list shows these two only; the rest travels with the row for the
// structured outputs.
struct FileRow {
    FileRow() = default;
    FileRow(std::string caption, std::vector<std::string> subItems)
        : Caption(std::move(caption)), SubItems(std::move(subItems)) {}

    std::string Caption;
    std::vector<std::string> SubItems;

    std::filesystem::path Path; // the file's full path, when the worker made the row
    // How many leading bytes of Path name the folder scanned (0 for a file
    // named itself): the rest is the path relative to that folder.
    std::size_t RootLength = 0;
    std::uint64_t Size = 0;
    // The rest of the file's stamp (see FileStamp).
    std::int64_t ModifiedNs = 0;
    std::uint64_t Inode = 0;
    RowSource Source = RowSource::Plain;
    // The reader's values behind the row, typed, for the structured
    // outputs. A classic row names no container and counts no tracks.
    MediaSummary Summary;
    // Fingerprints (xxHash64) of the file's first block and last block, as
    // the read took them anyway (nothing where it did not): what tells
    // probable copies of a file. Kept beside the row, not in it.
    std::optional<std::uint64_t> HeadHash;
    std::optional<std::uint64_t> TailHash;

    void SetStamp(const FileStamp& stamp) {
        Size = stamp.Size;
        ModifiedNs = stamp.ModifiedNs;
        Inode = stamp.Inode;
    }

    friend bool operator==(const FileRow& a, const FileRow& b) {
        return a.Caption == b.Caption && a.SubItems == b.SubItems;
    }
};

// The file's name as the file system holds it: its path's last part, the
// caption for a row made without a path.
inline std::string FileNameOf(const FileRow& row) {
    return row.Path.empty() ? row.Caption : row.Path.filename().native();
}

// Whole mebibytes, remainder dropped: "%d MB".
std::string SizeText(std::uint64_t bytes);
// "h:mm:ss" from milliseconds, truncated to whole seconds.
std::string TimeTextFromMs(std::uint64_t milliseconds);
// "h:mm:ss" from seconds rounded half to even; negative parts keep their sign.
std::string TimeTextFromSeconds(double seconds);
// Rounded to thousandths half to even, then the shortest form of up to 15
// significant digits, always with '.' as the decimal separator.
std::string RateText(double rate);
// `caption` is the bare file name already in the locale's character set.
// The values a classic reader's row states.
MediaSummary SummaryOf(const CAVIHeaderReader& reader);
MediaSummary SummaryOf(const CMPEGHeaderReader& reader);
MediaSummary SummaryOf(const CQuickTimeReader& reader);
FileRow MakeAviRow(std::string caption, std::uint64_t size, const CAVIHeaderReader& reader);
FileRow MakeMpegRow(std::string caption, std::uint64_t size, const CMPEGHeaderReader& reader);
FileRow MakeMovRow(std::string caption, std::uint64_t size, const CQuickTimeReader& reader);
FileRow MakePlainRow(std::string caption, std::uint64_t size);
// The row of a modern reader: 12 cells like a QuickTime row. The video cell
// is "<container>: <codec>[ <profile>][ <n>-bit][ <HDR>]".
// Every text of the summary loses its control bytes first.
FileRow MakeModernRow(std::string caption, std::uint64_t size, RowSource source,
                      const MediaSummary& found);
// The video cell's text of a summary.
std::string ModernVideoText(const MediaSummary& summary);

// When a file was last changed, as local "YYYY-MM-DD HH:MM" (empty when not
// known).
std::string ModifiedText(std::int64_t modifiedNs);

// Caption and every existing sub-item, each trimmed and followed by TAB, then
// CR LF. Appended to `line`, which grows as needed: no line is ever cut.
void AppendExportLine(std::string& line, const FileRow& row);
std::string ExportLine(const FileRow& row);

} // namespace vidarium
