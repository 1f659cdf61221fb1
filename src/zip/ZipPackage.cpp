#include "zip/ZipReader.h"

#include <cstring>

#include "platform/PathText.h"
#include "platform/TextEncoding.h"
#include "platform/PathSafety.h"

namespace orv {

namespace {

void StripTrailing(std::wstring& name, const wchar_t* separators)
{
    const size_t keep = name.find_last_not_of(separators);
    name.erase(keep == std::wstring::npos ? 0 : keep + 1);
}

} // namespace

std::wstring NormalisedEntryName(const mz_zip_archive_file_stat& stat)
{
    std::wstring name = EntryName(stat);
    for (wchar_t& c : name) {
        if (c == L'/') {
            c = L'\\';
        }
    }
    StripTrailing(name, L"\\");
    return name;
}

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

const wchar_t kZipOpenFailedText[] = L"Cannot open ZIP file.";

bool StartZipReader(ZipReader& reader, FILE* stream, uint64_t size, std::wstring& error)
{
    reader.stream = stream;
    if (!mz_zip_reader_init_cfile(&reader.archive, reader.stream, size, 0)) {
        error = L"miniz rejected the ZIP central directory.";
        return false;
    }
    reader.initialised = true;
    return true;
}

bool CheckTargetPath(const std::wstring& destination, const std::wstring& name, std::wstring& target,
                     std::wstring& error)
{
    target = JoinPath(destination, name);
    if (target.size() > kMaxTargetPathUnits) {
        error = L"Extracted path exceeds the Windows 7 path limit: " + target;
        return false;
    }
    return true;
}

bool CheckZipEntries(ZipReader& reader, std::wstring& error)
{
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

} // namespace orv
