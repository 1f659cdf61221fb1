#pragma once
// An update site: one folder holding "updater.xml", its signature and the
// package ZIPs, which a web server serves as one server base. Checked by the
// updater's own rules and texts; every failure names the file it concerns.
#include <cstdint>
#include <string>

#include "manifest/Authenticity.h"
#include "manifest/Manifest.h"
#include "platform/FileSystem.h"
#include "publish/Keys.h"

namespace orv {

// Where customers install the suite unless they chose otherwise; package
// paths are judged below a folder of this length.
constexpr wchar_t kDefaultInstallPath[] = L"C:\\Program Files (x86)\\ORV Suite";
// A manifest this close to its expiry is still accepted, but not for long.
constexpr uint32_t kExpiryWarningDays = 14;

std::string SiteFile(const std::string& site, const std::wstring& name);
std::string ManifestPathOf(const std::string& site);
std::string SignaturePathOf(const std::string& site);

// Today (UTC) as YYYYMMDD, and the date days after today as "YYYY-MM-DD".
uint32_t TodayUtc();
std::wstring DateAfterDays(int64_t days);
// Whole days from today to a YYYYMMDD day (negative once it is past).
int64_t DaysUntil(uint32_t day);

// The circumstances the updater meets a site in.
struct SiteRules {
    std::wstring installPath = kDefaultInstallPath;
    uint64_t acceptedSerial = 0;
    uint32_t today = 0;
};

// What a site's manifest says.
struct SiteState {
    ByteArray manifestBytes;
    PackageList packages;
    ManifestSeal seal;
};

// The server manifest of packages (in their order, with size and sha256)
// sealed with serial and expiry; CR LF line ends.
std::wstring BuildSiteManifest(const PackageList& packages, uint64_t serial, const std::wstring& expires);

// Parses state.manifestBytes as the updater's reader does.
bool ParseSiteManifest(SiteState& state, std::wstring& error);
// Reads a site's manifest as the updater's reader does; a site without one is
// an empty state. Nothing about the signature is checked.
bool ReadSiteManifest(const std::string& site, SiteState& state, std::wstring& error);

// Every package ZIP must pass the updater's validation, fit the Windows 7
// path limit when extracted below rules.installPath (as the package at
// position in the manifest), and hold no two entries that name one file.
bool CheckPackageZip(const std::string& zipPath, const std::wstring& packageName, size_t position,
                     const std::wstring& installPath, std::wstring& error);

// The whole site as the updater meets it: the signature over the manifest's
// exact bytes, the reader, serial and expiry, every entry's size and hash,
// then every package's file, size, SHA-256 and ZIP.
bool VerifySite(const std::string& site, EVP_PKEY* key, const SiteRules& rules, SiteState& state,
                std::wstring& error);

} // namespace orv
