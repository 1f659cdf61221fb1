#include "zip/ZipPackage.h"

#include <windows.h>

#include <cstring>
#include <map>

#include "log/TraceLog.h"
#include "platform/Handles.h"
#include "platform/PathSafety.h"
#include "zip/ZipReader.h"

namespace orv {

namespace {

// Writes one file entry to target and checks what landed on disk.
bool ExtractFileEntry(ZipReader& reader, mz_uint index, const mz_zip_archive_file_stat& stat,
                      const std::wstring& target, const std::wstring& name, const ProgressTick& pump,
                      std::wstring& error)
{
    ExtractWriteContext context(&pump);
    UniqueFile output(::CreateFileW(target.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!output) {
        error = L"Cannot create extracted file: " + target + L" | " + Win32ErrorText(::GetLastError());
        return false;
    }
    context.file = output.Get();
    // miniz inflates and checks the CRC-32 of the produced bytes itself.
    const bool inflated =
        mz_zip_reader_extract_to_callback(&reader.archive, index, WriteExtractedChunk, &context, 0) != MZ_FALSE;
    ::FlushFileBuffers(output.Get());
    // The size on disk is read through the handle already open rather than
    // by looking the path up again once it is closed.
    LARGE_INTEGER size{};
    const bool sized = ::GetFileSizeEx(output.Get(), &size) != FALSE;
    output.Reset();
    context.file = nullptr;

    if (inflated && !context.failed && sized && static_cast<uint64_t>(size.QuadPart) == stat.m_uncomp_size) {
        return true;
    }
    // A partial or corrupt file must never be installed by mistake.
    DeleteFileIfPresent(target);
    error = L"CRC, decompression, or size verification failed for: " + name;
    return false;
}

} // namespace

bool OpenZipReader(const std::wstring& zipPath, ZipReader& reader, std::wstring& error)
{
    reader.Close();
    std::memset(&reader.archive, 0, sizeof(reader.archive));
    FILE* stream = nullptr;
    if (_wfopen_s(&stream, zipPath.c_str(), L"rb") != 0 || stream == nullptr) {
        error = kZipOpenFailedText;
        return false;
    }
    uint64_t size = 0;
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (::GetFileAttributesExW(zipPath.c_str(), GetFileExInfoStandard, &data)) {
        size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    }
    return StartZipReader(reader, stream, size, error);
}

bool ValidateZipPackage(const std::wstring& zipPath, std::wstring& error)
{
    ZipReader reader;
    return OpenZipReader(zipPath, reader, error) && CheckZipEntries(reader, error);
}

namespace {

// Names of the files already written by one pass, by the key under which the
// file system finds them (case-insensitive), so a later entry that lands on
// the same file can be reported.
using WrittenFiles = std::map<std::wstring, std::wstring>;

std::wstring FileSystemKey(const std::wstring& name)
{
    std::wstring key = name;
    if (!key.empty()) {
        ::LCMapStringW(LOCALE_INVARIANT, LCMAP_UPPERCASE, name.c_str(), static_cast<int>(name.size()), &key[0],
                       static_cast<int>(key.size()));
    }
    return key;
}

bool PrepareDestination(const std::wstring& destination, std::wstring& error)
{
    // Leftovers of an earlier run must never mix with this package's files.
    if (DirectoryExists(destination) && !DeleteTree(destination)) {
        error = L"Cannot clean prior extraction directory: " + destination;
        return false;
    }
    if (!CreateDirectories(destination)) {
        error = L"Cannot create extraction directory: " + destination;
        return false;
    }
    return true;
}

// A package that cannot fit is refused before anything is written, rather
// than filling the disk and failing half way. miniz never writes more than
// an entry declares, so the declared sizes bound what extraction needs.
bool CheckFreeSpace(ZipReader& reader, const std::wstring& destination, std::wstring& error)
{
    uint64_t needed = 0;
    const mz_uint count = mz_zip_reader_get_num_files(&reader.archive);
    for (mz_uint index = 0; index < count; ++index) {
        mz_zip_archive_file_stat stat;
        if (ReadEntryStat(reader, index, stat) && !stat.m_is_directory) {
            needed = stat.m_uncomp_size > UINT64_MAX - needed ? UINT64_MAX : needed + stat.m_uncomp_size;
        }
    }
    ULARGE_INTEGER available{};
    // A share is only measured through a folder name that ends in "\"; a
    // volume that cannot say how much room it has is not refused.
    const std::wstring folder = JoinPath(destination, L"\\");
    if (!::GetDiskFreeSpaceExW(folder.c_str(), &available, nullptr, nullptr) || needed <= available.QuadPart) {
        return true;
    }
    error = L"Not enough free disk space to extract the package: it needs " + std::to_wstring(needed) +
            L" bytes, but only " + std::to_wstring(available.QuadPart) + L" bytes are free.";
    return false;
}

// Entries whose names differ only in letter case end as one file holding the
// later entry; that stays so, but never silently.
void NoteWrittenFile(WrittenFiles& written, const std::wstring& name, const std::wstring& zipPath, TraceLog& log)
{
    const auto inserted = written.emplace(FileSystemKey(name), name);
    if (!inserted.second) {
        log.Warn(L"Extraction duplicate name; later entry kept | ZIP=" + zipPath + L" | Earlier=" +
                 inserted.first->second + L" | Later=" + name);
        inserted.first->second = name;
    }
}

struct ExtractionPass {
    ZipReader reader;
    std::wstring zipPath;
    std::wstring destination;
    TraceLog& log;
    const ProgressTick& pump;
    WrittenFiles written;
    // Entries of one folder come one after another: once their folder is
    // there, it is not looked up again for each of them.
    std::wstring madeFolder;
};

bool ExtractEntry(ExtractionPass& pass, mz_uint index, std::wstring& error)
{
    mz_zip_archive_file_stat stat;
    if (!ReadEntryStat(pass.reader, index, stat)) {
        error = L"Cannot read ZIP entry metadata.";
        return false;
    }
    if (!IsUsableEntry(stat)) {
        error = L"Encrypted or unsupported ZIP entry: " + EntryName(stat);
        return false;
    }
    const std::wstring name = NormalisedEntryName(stat);
    if (name.empty()) {
        return true;
    }
    if (!IsSafeRelativePath(name)) {
        error = L"Unsafe ZIP path rejected: " + name;
        return false;
    }
    std::wstring target;
    if (!CheckTargetPath(pass.destination, name, target, error)) {
        return false;
    }
    if (stat.m_is_directory) {
        if (!CreateDirectories(target)) {
            error = L"Cannot create extracted directory: " + target;
            return false;
        }
        return true;
    }
    const std::wstring parent = ParentPath(target);
    if (parent != pass.madeFolder && !CreateDirectories(parent)) {
        error = L"Cannot create extracted file directory: " + parent;
        return false;
    }
    pass.madeFolder = parent;
    NoteWrittenFile(pass.written, name, pass.zipPath, pass.log);
    if (!ExtractFileEntry(pass.reader, index, stat, target, name, pass.pump, error)) {
        return false;
    }
    pass.log.Info(L"Extraction PASS | ZIP=" + pass.zipPath + L" | File=" + name);
    return true;
}

} // namespace

bool ExtractZipPackage(const std::wstring& zipPath, const std::wstring& destination, TraceLog& log,
                               const ProgressTick& pump, std::wstring& error)
{
    if (!PrepareDestination(destination, error)) {
        return false;
    }
    ExtractionPass pass{ZipReader(), zipPath, destination, log, pump, WrittenFiles(), std::wstring()};
    if (!OpenZipReader(zipPath, pass.reader, error) || !CheckFreeSpace(pass.reader, destination, error)) {
        return false;
    }
    const mz_uint count = mz_zip_reader_get_num_files(&pass.reader.archive);
    for (mz_uint index = 0; index < count; ++index) {
        if (pump) {
            pump();
        }
        if (!ExtractEntry(pass, index, error)) {
            return false;
        }
    }
    return true;
}

ExtractWriteContext::ExtractWriteContext(const ProgressTick* pumpToUse)
    : pump(pumpToUse), lastPumpTick(::GetTickCount())
{
}

size_t WriteExtractedChunk(void* opaque, mz_uint64 offset, const void* data, size_t length)
{
    auto* context = static_cast<ExtractWriteContext*>(opaque);
    if (context == nullptr || context->file == INVALID_HANDLE_VALUE || context->file == nullptr ||
        context->failed) {
        return 0;
    }
    if (offset != context->position) {
        LARGE_INTEGER position{};
        position.QuadPart = static_cast<LONGLONG>(offset);
        if (!::SetFilePointerEx(context->file, position, nullptr, FILE_BEGIN)) {
            context->failed = true;
            return 0;
        }
        context->position = offset;
    }
    if (length == 0) {
        return 0;
    }
    const bool pumping = context->pump != nullptr && *context->pump;
    const auto* bytes = static_cast<const unsigned char*>(data);
    size_t done = 0;
    while (done < length) {
        const DWORD piece = static_cast<DWORD>(std::min(kExtractWritePiece, length - done));
        DWORD written = 0;
        const BOOL ok = ::WriteFile(context->file, bytes + done, piece, &written, nullptr);
        done += written;
        context->position += written;
        if (!ok || written != piece) {
            // A short count makes miniz fail the entry.
            context->failed = true;
            return done;
        }
        if (pumping) {
            // Unsigned difference: stays right when the tick count wraps.
            const DWORD now = ::GetTickCount();
            if (now - context->lastPumpTick >= kExtractPumpIntervalMs) {
                (*context->pump)();
                context->lastPumpTick = now;
            }
        }
    }
    return length;
}

} // namespace orv
