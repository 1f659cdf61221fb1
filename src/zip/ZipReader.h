#pragma once
// The miniz-facing side of package reading, shared by validation, extraction
// and the tools that time them. The entry rules (ZipPackage.cpp) are pure and
// also build natively; opening a file and writing what is extracted is
// ZipPackageWin.cpp.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "miniz.h"
#include "platform/FileSystem.h"

namespace orv {

// One reader per pass over a ZIP file: the miniz archive reading through a
// stdio stream. Closing ends the reader (when it was initialised) before the
// stream is closed, on every way out.
struct ZipReader {
    mz_zip_archive archive;
    FILE* stream = nullptr;
    bool initialised = false;

    ZipReader();
    ~ZipReader();
    ZipReader(const ZipReader&) = delete;
    ZipReader& operator=(const ZipReader&) = delete;

    void Close();
};

// Opens zipPath and initialises the miniz reader over its central directory.
bool OpenZipReader(const std::wstring& zipPath, ZipReader& reader, std::wstring& error);

// What opening says when the file cannot be opened at all.
extern const wchar_t kZipOpenFailedText[];
// Hands stream (open for reading, now owned by the reader) to miniz, which
// reads the central directory; a size of 0 lets miniz measure the stream.
bool StartZipReader(ZipReader& reader, FILE* stream, uint64_t size, std::wstring& error);

// The longest full path Win32 creates without the long-path prefix, which
// Windows 7 programs cannot rely on.
constexpr size_t kMaxTargetPathUnits = 259;
// Where an entry named name (normalised) lands below destination; false
// with the refusal's text when that path is longer than Windows 7 allows.
bool CheckTargetPath(const std::wstring& destination, const std::wstring& name, std::wstring& target,
                     std::wstring& error);

// True when every entry of the open archive could be extracted safely:
// readable, neither encrypted nor of an unsupported method, a safe relative
// path, and at least one file. Otherwise false with the reason in error.
bool CheckZipEntries(ZipReader& reader, std::wstring& error);

// An entry's name as stored (UTF-8), and as a relative path with
// backslashes and no trailing separator (empty: nothing to extract).
std::wstring EntryName(const mz_zip_archive_file_stat& stat);
std::wstring NormalisedEntryName(const mz_zip_archive_file_stat& stat);
bool ReadEntryStat(ZipReader& reader, mz_uint index, mz_zip_archive_file_stat& stat);
bool IsUsableEntry(const mz_zip_archive_file_stat& stat);

// Longest piece handed to one WriteFile call.
constexpr size_t kExtractWritePiece = 1048576;
// Least time between two message pumps while one file is written.
constexpr unsigned long kExtractPumpIntervalMs = 50;

// State of one file being extracted, shared with WriteExtractedChunk.
struct ExtractWriteContext {
    void* file = nullptr; // the output file's handle; null when there is none
    bool failed = false;
    // Where the file pointer stands (a new file starts at 0): miniz hands the
    // pieces over in order, so a seek is only needed when one does not follow
    // on from the last.
    uint64_t position = 0;
    const ProgressTick* pump = nullptr; // null or empty: no pumping
    unsigned long lastPumpTick = 0;

    explicit ExtractWriteContext(const ProgressTick* pumpToUse);
};

// miniz's write callback: writes length bytes at offset into the context's
// file and returns how many were written.
size_t WriteExtractedChunk(void* context, mz_uint64 offset, const void* data, size_t length);

} // namespace orv
