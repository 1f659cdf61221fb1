#pragma once
// Validation and safe extraction of update packages (ZIP files, read through
// miniz).
#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "miniz.h"
#include "platform/FileSystem.h"

class TraceLog;
class ProgressWindow;

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

// True when every entry of the ZIP could be extracted safely; otherwise
// false with the reason in error.
bool ValidateZipPackage(const std::wstring& zipPath, std::wstring& error);

// Rebuilds destination from empty and extracts every entry into it,
// verifying each file written.
bool ExtractZipPackage(const std::wstring& zipPath, const std::wstring& destination, TraceLog& log,
                       ProgressWindow& progress, std::wstring& error);

// The same extraction with the window reduced to its message pump: pump is
// called once per entry and, while a file is written, at most every
// kExtractPumpIntervalMs. An empty pump is never called.
bool ExtractZipPackageWithPump(const std::wstring& zipPath, const std::wstring& destination, TraceLog& log,
                               const ProgressTick& pump, std::wstring& error);

// Longest piece handed to one WriteFile call.
constexpr size_t kExtractWritePiece = 1048576;
// Least time between two message pumps while one file is written.
constexpr unsigned long kExtractPumpIntervalMs = 50;

// State of one file being extracted, shared with WriteExtractedChunk.
struct ExtractWriteContext {
    HANDLE file = INVALID_HANDLE_VALUE;
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
