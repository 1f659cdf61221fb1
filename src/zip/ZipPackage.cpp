#include "zip/ZipPackage.h"

#include <cstring>

#include "log/TraceLog.h"
#include "platform/Handles.h"
#include "zip/PathSafety.h"

namespace {

// The longest full path Win32 creates without the long-path prefix, which
// Windows 7 programs cannot rely on.
constexpr size_t kMaxTargetPathUnits = 259;

// Entry names arrive as UTF-8 bytes; older tools stored the system code page.
std::wstring EntryName(const mz_zip_archive_file_stat& stat)
{
    return Utf8ToWide(stat.m_filename, std::strlen(stat.m_filename));
}

bool ReadEntryStat(ZipReader& reader, mz_uint index, mz_zip_archive_file_stat& stat)
{
    std::memset(&stat, 0, sizeof(stat));
    return mz_zip_reader_file_stat(&reader.archive, index, &stat) != MZ_FALSE;
}

bool IsUsableEntry(const mz_zip_archive_file_stat& stat)
{
    return !stat.m_is_encrypted && stat.m_is_supported;
}

void StripTrailing(std::wstring& name, const wchar_t* separators)
{
    const size_t keep = name.find_last_not_of(separators);
    name.erase(keep == std::wstring::npos ? 0 : keep + 1);
}

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
    context.file = INVALID_HANDLE_VALUE;

    if (inflated && !context.failed && sized && static_cast<uint64_t>(size.QuadPart) == stat.m_uncomp_size) {
        return true;
    }
    // A partial or corrupt file must never be installed by mistake.
    DeleteFileIfPresent(target);
    error = L"CRC, decompression, or size verification failed for: " + name;
    return false;
}

} // namespace

ZipReader::ZipReader()
{
    std::memset(&archive, 0, sizeof(archive));
}

ZipReader::~ZipReader()
{
    Close();
}

void ZipReader::Close()
{
    if (initialised) {
        mz_zip_reader_end(&archive);
        initialised = false;
    }
    if (stream != nullptr) {
        std::fclose(stream);
        stream = nullptr;
    }
}

bool OpenZipReader(const std::wstring& zipPath, ZipReader& reader, std::wstring& error)
{
    reader.Close();
    std::memset(&reader.archive, 0, sizeof(reader.archive));
    FILE* stream = nullptr;
    if (_wfopen_s(&stream, zipPath.c_str(), L"rb") != 0 || stream == nullptr) {
        error = L"Cannot open ZIP file.";
        return false;
    }
    reader.stream = stream;
    // 0 lets miniz measure the stream itself.
    uint64_t size = 0;
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (::GetFileAttributesExW(zipPath.c_str(), GetFileExInfoStandard, &data)) {
        size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    }
    if (!mz_zip_reader_init_cfile(&reader.archive, reader.stream, size, 0)) {
        error = L"miniz rejected the ZIP central directory.";
        return false;
    }
    reader.initialised = true;
    return true;
}

bool ValidateZipPackage(const std::wstring& zipPath, std::wstring& error)
{
    ZipReader reader;
    if (!OpenZipReader(zipPath, reader, error)) {
        return false;
    }
    const mz_uint count = mz_zip_reader_get_num_files(&reader.archive);
    if (count == 0) {
        error = L"ZIP has no entries.";
        return false;
    }
    bool hasFile = false;
    for (mz_uint index = 0; index < count; ++index) {
        mz_zip_archive_file_stat stat;
        if (!ReadEntryStat(reader, index, stat)) {
            error = L"ZIP entry metadata cannot be read.";
            return false;
        }
        if (!IsUsableEntry(stat)) {
            error = L"ZIP contains an encrypted or unsupported entry.";
            return false;
        }
        std::wstring name = EntryName(stat);
        StripTrailing(name, L"\\/");
        if (!name.empty() && !IsSafeRelativePath(name)) {
            error = L"ZIP contains an unsafe path: " + name;
            return false;
        }
        if (!stat.m_is_directory) {
            hasFile = true;
        }
    }
    if (!hasFile) {
        error = L"ZIP contains no files.";
        return false;
    }
    return true;
}

bool ExtractZipPackageWithPump(const std::wstring& zipPath, const std::wstring& destination, TraceLog& log,
                               const ProgressTick& pump, std::wstring& error)
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
    ZipReader reader;
    if (!OpenZipReader(zipPath, reader, error)) {
        return false;
    }
    // Entries of one folder come one after another: once their folder is
    // there, it is not looked up again for each of them.
    std::wstring madeFolder;
    const mz_uint count = mz_zip_reader_get_num_files(&reader.archive);
    for (mz_uint index = 0; index < count; ++index) {
        if (pump) {
            pump();
        }
        mz_zip_archive_file_stat stat;
        if (!ReadEntryStat(reader, index, stat)) {
            error = L"Cannot read ZIP entry metadata.";
            return false;
        }
        std::wstring name = EntryName(stat);
        if (!IsUsableEntry(stat)) {
            error = L"Encrypted or unsupported ZIP entry: " + name;
            return false;
        }
        for (wchar_t& c : name) {
            if (c == L'/') {
                c = L'\\';
            }
        }
        StripTrailing(name, L"\\");
        if (name.empty()) {
            continue;
        }
        if (!IsSafeRelativePath(name)) {
            error = L"Unsafe ZIP path rejected: " + name;
            return false;
        }
        const std::wstring target = JoinPath(destination, name);
        if (target.size() > kMaxTargetPathUnits) {
            error = L"Extracted path exceeds the Windows 7 path limit: " + target;
            return false;
        }
        if (stat.m_is_directory) {
            if (!CreateDirectories(target)) {
                error = L"Cannot create extracted directory: " + target;
                return false;
            }
            continue;
        }
        const std::wstring parent = ParentPath(target);
        if (parent != madeFolder && !CreateDirectories(parent)) {
            error = L"Cannot create extracted file directory: " + parent;
            return false;
        }
        madeFolder = parent;
        if (!ExtractFileEntry(reader, index, stat, target, name, pump, error)) {
            return false;
        }
        log.Info(L"Extraction PASS | ZIP=" + zipPath + L" | File=" + name);
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
