#pragma once
// The tool's side of the Linux file system. Paths are UTF-8 bytes there; the
// updater's rules take wide texts, so names cross over with Wide and Narrow.
#include <string>
#include <vector>

#include "manifest/Inventory.h"
#include "platform/FileSystem.h"

namespace orv {

inline std::wstring Wide(const std::string& utf8)
{
    return Utf8ToWide(utf8);
}

inline std::string Narrow(const std::wstring& text)
{
    return WideToUtf8(text);
}

// The key under which Windows finds a name: letter case ignored.
std::wstring WindowsNameKey(const std::wstring& name);

// The file version of an executable or library on disk (mapped, never read
// whole); empty when it carries none or cannot be read.
std::wstring PeFileVersionOf(const std::string& path);

// Every regular file below root as a relative path with "/", in byte order.
bool ListTreeFiles(const std::string& root, std::vector<std::string>& files, std::wstring& error);

bool ReadBytes(const std::string& path, ByteArray& bytes, std::wstring& error);
// Creates path (never replacing a file) with mode, and writes bytes to it.
bool WriteNewFile(const std::string& path, const void* data, size_t size, unsigned mode, std::wstring& error);

// What the inventory sees of a folder, given as the names at its top (a
// copy of an install folder, or the files of a package). Windows finds names
// regardless of letter case and lists a folder in name order, and so does
// this view. The updater that asks is taken to be the folder's own
// "OrvUpdaterW7.exe", as an installed suite runs it.
class ListedFolderView : public InstallFolderView {
public:
    struct Item {
        std::wstring name;
        bool isDirectory = false;
        std::string diskPath; // where a file's version is read; empty: none
    };

    explicit ListedFolderView(std::vector<Item> items);
    // The top of a folder on disk.
    static bool OfFolder(const std::string& folder, std::vector<Item>& items, std::wstring& error);

    bool IsDirectory(const std::wstring& name) const override;
    bool IsFile(const std::wstring& name) const override;
    std::vector<std::wstring> FilesOfStem(const std::wstring& stem) const override;
    std::wstring FileVersion(const std::wstring& name) const override;
    bool UpdaterRunsHere(std::wstring& version) const override;

private:
    const Item* Find(const std::wstring& name) const;
    std::vector<Item> items_;
};

} // namespace orv
