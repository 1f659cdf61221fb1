#include "publish/PackageZip.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstring>

#include "miniz.h"
#include "publish/NativeFiles.h"

namespace orv {

namespace {

// Best compression: a package is made once and downloaded by every customer.
// Time stamps need nothing: miniz as the project builds it (MINIZ_NO_TIME)
// stamps every entry with the same zero time.
constexpr mz_uint kCompressionLevel = MZ_BEST_COMPRESSION;

struct Writer {
    mz_zip_archive zip;
    bool started = false;

    Writer() { std::memset(&zip, 0, sizeof(zip)); }
    ~Writer()
    {
        if (started) {
            mz_zip_writer_end(&zip);
        }
    }
    std::wstring Error() { return Wide(mz_zip_get_error_string(mz_zip_get_last_error(&zip))); }
};

bool AddFile(Writer& writer, const std::string& root, const std::string& name, std::wstring& error)
{
    const std::string path = root + "/" + name;
    std::FILE* file = std::fopen(path.c_str(), "rb");
    struct stat info {};
    if (file == nullptr || ::fstat(fileno(file), &info) != 0) {
        if (file != nullptr) {
            std::fclose(file);
        }
        error = Wide(path) + L": cannot be read";
        return false;
    }
    const bool added = mz_zip_writer_add_cfile(&writer.zip, name.c_str(), file, static_cast<mz_uint64>(info.st_size),
                                               nullptr, nullptr, 0, kCompressionLevel, nullptr, 0, nullptr, 0);
    std::fclose(file);
    if (!added) {
        error = Wide(path) + L": " + writer.Error();
    }
    return added;
}

} // namespace

bool WritePackageZip(const std::string& zipPath, const std::string& releaseRoot, const std::vector<std::string>& files,
                     std::wstring& error)
{
    Writer writer;
    if (!mz_zip_writer_init_file(&writer.zip, zipPath.c_str(), 0)) {
        error = Wide(zipPath) + L": " + writer.Error();
        return false;
    }
    writer.started = true;
    for (const std::string& name : files) {
        if (!AddFile(writer, releaseRoot, name, error)) {
            return false;
        }
    }
    if (!mz_zip_writer_finalize_archive(&writer.zip)) {
        error = Wide(zipPath) + L": " + writer.Error();
        return false;
    }
    writer.started = false;
    if (!mz_zip_writer_end(&writer.zip)) {
        error = Wide(zipPath) + L": cannot be written";
        return false;
    }
    return true;
}

} // namespace orv
