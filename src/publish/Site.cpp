#include <sys/stat.h>

#include <ctime>
#include <map>

#include "app/SessionText.h"
#include "download/Downloader.h"
#include "manifest/ProductProfile.h"
#include "platform/InstallLayout.h"
#include "publish/NativeFiles.h"
#include "publish/Site.h"
#include "zip/ZipReader.h"

namespace orv {

namespace {

constexpr int64_t kSecondsPerDay = 86400;

std::wstring InFile(const std::wstring& file, const std::wstring& text)
{
    return file + L": " + text;
}

// The day number YYYYMMDD of a moment, in UTC.
uint32_t DayOf(std::time_t moment)
{
    std::tm day{};
    gmtime_r(&moment, &day);
    return static_cast<uint32_t>(day.tm_year + 1900) * 10000 + static_cast<uint32_t>(day.tm_mon + 1) * 100 +
           static_cast<uint32_t>(day.tm_mday);
}

bool CheckSignature(const std::string& site, EVP_PKEY* key, const ByteArray& manifest, std::wstring& error)
{
    struct stat info {};
    ByteArray signature;
    const std::string path = SignaturePathOf(site);
    if (::stat(path.c_str(), &info) != 0 || info.st_size == 0) {
        error = InFile(kManifestFileName + std::wstring(kSignatureSuffix), kSignatureMissingText);
        return false;
    }
    if (!ReadBytes(path, signature, error)) {
        return false;
    }
    if (!VerifyBytes(key, manifest, signature)) {
        error = InFile(kManifestFileName + std::wstring(kSignatureSuffix), kSignatureMismatchText);
        return false;
    }
    return true;
}

// A package file as the download would receive it: its announced size and
// hash, then the ZIP checks.
bool CheckSitePackage(const std::string& site, const PackageEntry& entry, size_t position, const SiteRules& rules,
                      std::wstring& error)
{
    const std::string path = SiteFile(site, entry.name);
    uint64_t size = 0;
    std::wstring sha256;
    if (!HashFile(path, size, sha256, error)) {
        error = InFile(entry.name, L"the package file is missing from the site or unreadable");
        return false;
    }
    if (size != entry.size) {
        error = InFile(entry.name, SizeMismatchText(entry.size, size));
        return false;
    }
    if (sha256 != entry.sha256) {
        error = InFile(entry.name, HashMismatchText(entry.sha256, sha256));
        return false;
    }
    return CheckPackageZip(path, entry.name, position, rules.installPath, error);
}

} // namespace

std::string SiteFile(const std::string& site, const std::wstring& name)
{
    return site + "/" + Narrow(name);
}

std::string ManifestPathOf(const std::string& site)
{
    return SiteFile(site, kManifestFileName);
}

std::string SignaturePathOf(const std::string& site)
{
    return ManifestPathOf(site) + Narrow(kSignatureSuffix);
}

uint32_t TodayUtc()
{
    return DayOf(std::time(nullptr));
}

std::wstring DateAfterDays(int64_t days)
{
    const uint32_t day = DayOf(std::time(nullptr) + static_cast<std::time_t>(days * kSecondsPerDay));
    wchar_t text[16] = {};
    std::swprintf(text, 16, L"%04u-%02u-%02u", day / 10000, day / 100 % 100, day % 100);
    return text;
}

int64_t DaysUntil(uint32_t day)
{
    std::tm until{};
    until.tm_year = static_cast<int>(day / 10000) - 1900;
    until.tm_mon = static_cast<int>(day / 100 % 100) - 1;
    until.tm_mday = static_cast<int>(day % 100);
    const std::time_t today = std::time(nullptr) / kSecondsPerDay;
    return static_cast<int64_t>(timegm(&until) / kSecondsPerDay - today);
}

std::wstring BuildSiteManifest(const PackageList& packages, uint64_t serial, const std::wstring& expires)
{
    std::wstring text = L"<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n<Updater>\r\n";
    text += L"  <version serial=\"" + std::to_wstring(serial) + L"\" expires=\"" + expires + L"\">\r\n";
    for (const PackageEntry& entry : packages) {
        text += L"    <" + entry.name + L" size=\"" + std::to_wstring(entry.size) + L"\" sha256=\"" + entry.sha256 +
                L"\">" + EscapeVersionText(entry.version) + L"</" + entry.name + L">\r\n";
    }
    return text + L"  </version>\r\n</Updater>\r\n";
}

bool ParseSiteManifest(SiteState& state, std::wstring& error)
{
    const std::wstring text = DecodeManifestBytes(state.manifestBytes);
    if (!ParseManifestText(text, state.packages, error)) {
        error = InFile(kManifestFileName, error);
        return false;
    }
    state.seal = ReadManifestSeal(text);
    return true;
}

bool ReadSiteManifest(const std::string& site, SiteState& state, std::wstring& error)
{
    state = SiteState();
    struct stat info {};
    if (::stat(ManifestPathOf(site).c_str(), &info) != 0) {
        return true;
    }
    return ReadBytes(ManifestPathOf(site), state.manifestBytes, error) && ParseSiteManifest(state, error);
}

bool CheckPackageZip(const std::string& zipPath, const std::wstring& packageName, size_t position,
                     const std::wstring& installPath, std::wstring& error)
{
    ZipReader reader;
    if (!OpenZipReader(Wide(zipPath), reader, error) || !CheckZipEntries(reader, error)) {
        error = InFile(packageName, error);
        return false;
    }
    // Every package of a fresh install is selected, so the one at position
    // is extracted into the folder of that number: the longest it can get.
    const std::wstring destination = JoinPath(JoinPath(WorkFolderPath(installPath), kExtractFolderName),
                                              ExtractFolderName(position, packageName));
    std::map<std::wstring, std::wstring> files;
    const mz_uint count = mz_zip_reader_get_num_files(&reader.archive);
    for (mz_uint index = 0; index < count; ++index) {
        mz_zip_archive_file_stat stat;
        std::wstring target;
        const std::wstring name = ReadEntryStat(reader, index, stat) ? NormalisedEntryName(stat) : std::wstring();
        if (!name.empty() && !CheckTargetPath(destination, name, target, error)) {
            error = InFile(packageName, error);
            return false;
        }
        const auto inserted = files.emplace(WindowsNameKey(name), name);
        if (!name.empty() && !stat.m_is_directory && !inserted.second) {
            error = InFile(packageName, L"entries " + inserted.first->second + L" and " + name +
                                            L" name one file on Windows; extraction would keep only the later");
            return false;
        }
    }
    return true;
}

bool VerifySite(const std::string& site, EVP_PKEY* key, const SiteRules& rules, SiteState& state,
                std::wstring& error)
{
    state = SiteState();
    // The signature first, over the bytes as they are: nothing unsigned is
    // even parsed.
    if (!ReadBytes(ManifestPathOf(site), state.manifestBytes, error) ||
        !CheckSignature(site, key, state.manifestBytes, error) || !ParseSiteManifest(state, error)) {
        return false;
    }
    error = CheckManifestSeal(state.seal, rules.acceptedSerial, rules.today);
    if (error.empty()) {
        error = CheckSignedEntries(state.packages);
    }
    if (!error.empty()) {
        error = InFile(kManifestFileName, error);
        return false;
    }
    for (size_t i = 0; i < state.packages.size(); ++i) {
        if (!CheckSitePackage(site, state.packages[i], i, rules, error)) {
            return false;
        }
    }
    return true;
}

} // namespace orv
