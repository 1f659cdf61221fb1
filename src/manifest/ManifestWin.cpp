#include <exception>
#include <string>

#include "manifest/Manifest.h"
#include "platform/FileSystem.h"
#include "platform/InstallLayout.h"

namespace orv {

// A BOM FF FE marks UTF-16LE; everything else, big-endian UTF-16 included, is
// read as UTF-8 with or without its BOM.
std::wstring DecodeManifestBytes(const ByteArray& bytes)
{
    if (bytes.size() >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE) {
        const size_t units = (bytes.size() - 2) / 2;
        std::wstring text(units, L'\0');
        for (size_t i = 0; i < units; ++i) {
            text[i] = static_cast<wchar_t>(bytes[2 + 2 * i] | (bytes[3 + 2 * i] << 8));
        }
        return text;
    }
    size_t skip = 0;
    if (bytes.size() >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF) {
        skip = 3;
    }
    return Utf8ToWide(bytes.data() + skip, bytes.size() - skip);
}

bool RunGuardedManifestRead(const std::function<bool(std::wstring& error)>& work, std::wstring& error)
{
    try {
        return work(error);
    } catch (const std::exception& e) {
        error = Utf8ToWide(std::string(e.what()));
    } catch (...) {
        error = L"Unknown manifest parsing error.";
    }
    return false;
}

bool ReadManifestFile(const std::wstring& path, PackageList& list, std::wstring& error)
{
    list.Clear();
    return RunGuardedManifestRead(
        [&](std::wstring& workError) {
            // The raw bytes go before parsing starts: a large document would
            // otherwise be held three times over.
            const std::wstring text = DecodeManifestBytes(ReadWholeFile(path));
            return ParseManifestText(text, list, workError);
        },
        error);
}

LocalStateSource ReadLocalState(const std::wstring& installPath, PackageList& list, std::wstring& error)
{
    if (ReadManifestFile(StateFilePath(installPath), list, error)) {
        return LocalStateSource::StateDocument;
    }
    std::wstring legacyError;
    if (ReadManifestFile(JoinPath(installPath, kLegacyStateFileName), list, legacyError)) {
        return LocalStateSource::LegacyDocument;
    }
    list.Clear();
    return LocalStateSource::None;
}

bool WriteStateFile(const std::wstring& path, const PackageList& list, std::wstring& error)
{
    return WriteFileAtomic(path, BuildStateText(list), error);
}

} // namespace orv
