#include "publish/NativeFiles.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <cwctype>
#include <filesystem>

#include "platform/ProgramInfo.h"
#include "publish/PeVersion.h"

namespace orv {

namespace fs = std::filesystem;

namespace {

std::wstring SystemError(const std::string& path, int code)
{
    return Wide(path) + L": " + Wide(std::strerror(code));
}

} // namespace

std::wstring WindowsNameKey(const std::wstring& name)
{
    std::wstring key = name;
    for (wchar_t& c : key) {
        c = static_cast<wchar_t>(std::towupper(static_cast<wint_t>(c)));
    }
    return key;
}

std::wstring PeFileVersionOf(const std::string& path)
{
    const int file = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat info {};
    if (file < 0 || ::fstat(file, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size == 0) {
        if (file >= 0) {
            ::close(file);
        }
        return std::wstring();
    }
    const size_t size = static_cast<size_t>(info.st_size);
    void* mapped = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, file, 0);
    ::close(file);
    std::wstring version;
    if (mapped != MAP_FAILED) {
        if (!ReadPeFileVersion(static_cast<const unsigned char*>(mapped), size, version)) {
            version.clear();
        }
        ::munmap(mapped, size);
    }
    return version;
}

bool ListTreeFiles(const std::string& root, std::vector<std::string>& files, std::wstring& error)
{
    files.clear();
    std::error_code code;
    fs::recursive_directory_iterator it(root, code), end;
    for (; !code && it != end; it.increment(code)) {
        if (it->is_regular_file(code)) {
            files.push_back(it->path().lexically_relative(root).generic_string());
        }
    }
    if (code) {
        error = Wide(root) + L": " + Wide(code.message());
        return false;
    }
    std::sort(files.begin(), files.end());
    return true;
}

bool ReadBytes(const std::string& path, ByteArray& bytes, std::wstring& error)
{
    const int file = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat info {};
    if (file < 0 || ::fstat(file, &info) != 0) {
        error = SystemError(path, errno);
        if (file >= 0) {
            ::close(file);
        }
        return false;
    }
    bytes.resize(static_cast<size_t>(info.st_size));
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t got = ::read(file, bytes.data() + done, bytes.size() - done);
        if (got <= 0) {
            error = SystemError(path, got < 0 ? errno : EIO);
            ::close(file);
            return false;
        }
        done += static_cast<size_t>(got);
    }
    ::close(file);
    return true;
}

bool WriteNewFile(const std::string& path, const void* data, size_t size, unsigned mode, std::wstring& error)
{
    const int file = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (file < 0) {
        error = SystemError(path, errno);
        return false;
    }
    const auto* bytes = static_cast<const char*>(data);
    size_t done = 0;
    while (done < size) {
        const ssize_t put = ::write(file, bytes + done, size - done);
        if (put <= 0) {
            error = SystemError(path, put < 0 ? errno : EIO);
            ::close(file);
            return false;
        }
        done += static_cast<size_t>(put);
    }
    if (::fsync(file) != 0 || ::close(file) != 0) {
        error = SystemError(path, errno);
        return false;
    }
    return true;
}

ListedFolderView::ListedFolderView(std::vector<Item> items) : items_(std::move(items))
{
    std::stable_sort(items_.begin(), items_.end(),
                     [](const Item& a, const Item& b) { return WindowsNameKey(a.name) < WindowsNameKey(b.name); });
}

bool ListedFolderView::OfFolder(const std::string& folder, std::vector<Item>& items, std::wstring& error)
{
    std::error_code code;
    for (fs::directory_iterator it(folder, code), end; !code && it != end; it.increment(code)) {
        const bool directory = it->is_directory(code);
        items.push_back(Item{Wide(it->path().filename().string()), directory,
                             directory ? std::string() : it->path().string()});
    }
    if (code) {
        error = Wide(folder) + L": " + Wide(code.message());
        return false;
    }
    return true;
}

const ListedFolderView::Item* ListedFolderView::Find(const std::wstring& name) const
{
    const std::wstring key = WindowsNameKey(name);
    for (const Item& item : items_) {
        if (WindowsNameKey(item.name) == key) {
            return &item;
        }
    }
    return nullptr;
}

bool ListedFolderView::IsDirectory(const std::wstring& name) const
{
    const Item* item = Find(name);
    return item != nullptr && item->isDirectory;
}

bool ListedFolderView::IsFile(const std::wstring& name) const
{
    const Item* item = Find(name);
    return item != nullptr && !item->isDirectory;
}

// The pattern stem + ".*" finds the name stem itself and every name that
// goes on with a dot.
std::vector<std::wstring> ListedFolderView::FilesOfStem(const std::wstring& stem) const
{
    std::vector<std::wstring> names;
    const std::wstring key = WindowsNameKey(stem);
    for (const Item& item : items_) {
        const std::wstring name = WindowsNameKey(item.name);
        if (!item.isDirectory && name.compare(0, key.size(), key) == 0 &&
            (name.size() == key.size() || name[key.size()] == L'.')) {
            names.push_back(item.name);
        }
    }
    return names;
}

std::wstring ListedFolderView::FileVersion(const std::wstring& name) const
{
    const Item* item = Find(name);
    return item == nullptr || item->diskPath.empty() ? std::wstring() : PeFileVersionOf(item->diskPath);
}

bool ListedFolderView::UpdaterRunsHere(std::wstring& version) const
{
    if (!IsFile(kProgramExeName)) {
        return false;
    }
    version = FileVersion(kProgramExeName);
    return true;
}

} // namespace orv
