#include "publish/SiteBuild.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>

#include "manifest/Inventory.h"
#include "manifest/ProductProfile.h"
#include "manifest/Version.h"
#include "publish/Layout.h"
#include "publish/NativeFiles.h"
#include "publish/PackageZip.h"
#include "publish/Site.h"

namespace orv {

namespace fs = std::filesystem;

namespace {

struct PlannedPackage {
    PackageEntry entry;
    size_t line = 0;
    std::vector<std::string> files;
    bool changed = true;
};

struct Build {
    const BuildRequest& request;
    BuildReport& report;
    KeyHandle key;
    SiteState current;
    std::vector<PlannedPackage> packages;
    std::string staging;
};

std::wstring AtLine(const Build& build, size_t line, const std::wstring& text)
{
    return Wide(build.request.layoutPath) + L":" + std::to_wstring(line) + L": " + text;
}

bool ReadLayout(const Build& build, std::vector<LayoutPackage>& layout, std::wstring& error)
{
    ByteArray bytes;
    if (!ReadBytes(build.request.layoutPath, bytes, error)) {
        return false;
    }
    size_t line = 0;
    std::wstring text = Utf8ToWide(bytes.data(), bytes.size());
    if (!text.empty() && text[0] == 0xFEFF) {
        text.erase(0, 1);
    }
    if (!ParseLayout(text, layout, line, error)) {
        error = AtLine(build, line, error);
        return false;
    }
    return true;
}

// The version a package is published at: given, or the file version of a
// release file; either must be one the updater can order.
bool PlanVersion(const Build& build, const LayoutPackage& layout, PlannedPackage& package, std::wstring& error)
{
    const LayoutLine& from = layout.versionFrom;
    package.entry.version = layout.version.value;
    if (from.line != 0) {
        const std::string path = build.request.releaseRoot + "/" + Narrow(from.value);
        package.entry.version = PeFileVersionOf(path);
        if (package.entry.version.empty()) {
            error = AtLine(build, from.line, from.value + L" is no release file with a version resource");
            return false;
        }
    }
    std::vector<uint64_t> parts;
    if (!ParseVersion(package.entry.version, parts)) {
        error = AtLine(build, from.line != 0 ? from.line : layout.version.line, package.entry.version +
                                                       L" is no version the updater can order (numbers and dots); "
                                                       L"every run would fetch the package again");
        return false;
    }
    return true;
}

// The release files of each package: every pattern must find one, and no
// file may go into two packages (which of them lands last would decide).
bool PlanFiles(const Build& build, const LayoutPackage& layout, const std::vector<std::string>& release,
               std::map<std::string, std::wstring>& owners, PlannedPackage& package, std::wstring& error)
{
    for (const LayoutLine& pattern : layout.files) {
        bool found = false;
        for (const std::string& file : release) {
            if (!MatchesPattern(pattern.value, Wide(file))) {
                continue;
            }
            found = true;
            const auto owner = owners.emplace(file, layout.name.value);
            if (owner.second) {
                package.files.push_back(file);
            } else if (owner.first->second != layout.name.value) {
                error = AtLine(build, pattern.line, Wide(file) + L" is in " + owner.first->second + L" already");
                return false;
            }
        }
        if (!found) {
            error = AtLine(build, pattern.line, pattern.value + L" matches no file of the release");
            return false;
        }
    }
    std::sort(package.files.begin(), package.files.end());
    return true;
}

std::string UnpackagedFile(const std::vector<std::string>& release, const std::map<std::string, std::wstring>& owners)
{
    for (const std::string& file : release) {
        if (owners.count(file) == 0) {
            return file;
        }
    }
    return std::string();
}

bool PlanPackages(Build& build, std::wstring& error)
{
    std::vector<LayoutPackage> layout;
    std::vector<std::string> release;
    std::map<std::string, std::wstring> owners;
    if (!ReadLayout(build, layout, error) || !ListTreeFiles(build.request.releaseRoot, release, error)) {
        return false;
    }
    for (const LayoutPackage& item : layout) {
        PlannedPackage package;
        package.entry.name = item.name.value;
        package.line = item.name.line;
        if (!IsSafePackageName(package.entry)) {
            error = AtLine(build, package.line, package.entry.name +
                                                    L" is no package name the updater takes: a .zip file name "
                                                    L"without \"/\", \"\\\", \":\" or a parent-folder step");
            return false;
        }
        if (!PlanVersion(build, item, package, error) || !PlanFiles(build, item, release, owners, package, error)) {
            return false;
        }
        build.packages.push_back(std::move(package));
    }
    // A file the layout forgot would never reach a customer.
    if (owners.size() < release.size()) {
        build.report.warnings.push_back(Wide(UnpackagedFile(release, owners)) + L" (and " +
                                        std::to_wstring(release.size() - owners.size() - 1) +
                                        L" more release files) is in no package; it never reaches a customer");
    }
    return true;
}

// The site as it stands: its manifest, read by the updater's reader, gives
// the serial to go above and the versions not to go below.
bool ReadCurrentSite(Build& build, std::wstring& error)
{
    const std::string& site = build.request.site;
    if (!ReadSiteManifest(site, build.current, error)) {
        error = Wide(site) + L": the current site cannot be read: " + error;
        return false;
    }
    std::error_code code;
    for (fs::directory_iterator it(site, code), end; !code && it != end; it.increment(code)) {
        const std::wstring name = Wide(it->path().filename().string());
        if (name != kManifestFileName && name != kManifestFileName + std::wstring(kSignatureSuffix) &&
            !EndsWithNoCase(name, L".zip")) {
            error = Wide(it->path().string()) + L": not written by orvpublish; move it away before building";
            return false;
        }
    }
    ByteArray signature;
    std::wstring ignored;
    if (!build.current.manifestBytes.empty() &&
        (!ReadBytes(SignaturePathOf(site), signature, ignored) ||
         !VerifyBytes(build.key.get(), build.current.manifestBytes, signature))) {
        build.report.warnings.push_back(Wide(site) + L": the current manifest carries no signature of this key; "
                                                     L"updaters that trust another key will refuse the new site");
    }
    return true;
}

// The updater installs nothing older than what it has: no package may go
// back against the site's current manifest.
bool CheckNotOlder(const Build& build, const PlannedPackage& package, std::wstring& error)
{
    const PackageEntry* earlier = build.current.packages.Find(package.entry.name);
    bool bothValid = false;
    if (earlier != nullptr && CompareVersions(package.entry.version, earlier->version, &bothValid) < 0 &&
        bothValid) {
        error = AtLine(build, package.line, package.entry.name + L" " + package.entry.version +
                                                L" is older than " + earlier->version +
                                                L" on the site; the updater never installs an older version");
        return false;
    }
    return true;
}

// It also skips a version it has already, so what changed needs a new one.
bool CheckChangeHasNewVersion(const Build& build, const PlannedPackage& package, std::wstring& error)
{
    const PackageEntry* earlier = build.current.packages.Find(package.entry.name);
    bool bothValid = false;
    if (earlier != nullptr && package.changed && CompareVersions(package.entry.version, earlier->version, &bothValid) == 0 &&
        bothValid) {
        error = AtLine(build, package.line, package.entry.name + L" changed, but keeps version " +
                                                package.entry.version +
                                                L"; updaters that have that version would never fetch it");
        return false;
    }
    return true;
}

// An install folder holding only this package's files: the updater's
// inventory must find it there, or every run fetches it again.
void WarnIfNeverFound(Build& build, const PlannedPackage& package)
{
    std::vector<ListedFolderView::Item> top;
    for (const std::string& file : package.files) {
        const size_t slash = file.find('/');
        top.push_back(slash == std::string::npos
                          ? ListedFolderView::Item{Wide(file), false, build.request.releaseRoot + "/" + file}
                          : ListedFolderView::Item{Wide(file.substr(0, slash)), true, std::string()});
    }
    if (!FindInstalledPackage(package.entry.name, ListedFolderView(std::move(top))).installed) {
        build.report.warnings.push_back(
            package.entry.name + L": holds no file the updater's inventory looks for (" + FileStem(package.entry.name) +
            L".exe, .dll, ... or a folder " + FileStem(package.entry.name) +
            L"); it counts as installed only where the install folder has one already");
    }
}

bool WritePackage(Build& build, size_t position, PlannedPackage& package, std::wstring& error)
{
    const std::string path = SiteFile(build.staging, package.entry.name);
    if (!WritePackageZip(path, build.request.releaseRoot, package.files, error) ||
        !HashFile(path, package.entry.size, package.entry.sha256, error)) {
        return false;
    }
    package.entry.sizeKnown = true;
    const PackageEntry* earlier = build.current.packages.Find(package.entry.name);
    package.changed = earlier == nullptr || earlier->sha256 != package.entry.sha256;
    if (!CheckPackageZip(path, package.entry.name, position, build.request.installPath, error) ||
        !CheckChangeHasNewVersion(build, package, error)) {
        return false;
    }
    WarnIfNeverFound(build, package);
    return true;
}

// The manifest must read back, by the updater's own reader, as exactly what
// was meant: a name the reader cuts short or merges would ship silently.
bool CheckReadsBack(const PackageList& meant, uint64_t serial, const std::wstring& expires, SiteState& written,
                    std::wstring& error)
{
    if (!ParseSiteManifest(written, error)) {
        return false;
    }
    for (size_t i = 0; i < meant.size(); ++i) {
        const PackageEntry* read = written.packages.Find(meant[i].name);
        if (written.packages.size() != meant.size() || read == nullptr || read->name != meant[i].name ||
            read->version != meant[i].version || read->sha256 != meant[i].sha256) {
            error = meant[i].name + L": the updater's manifest reader does not read this entry back as written; "
                                    L"package names may hold only letters, digits, \"-\", \".\" and \"_\"";
            return false;
        }
    }
    if (written.seal.serial != serial || written.seal.expiresText != expires) {
        error = L"the manifest's serial and expiry do not read back as written";
        return false;
    }
    return true;
}

bool WriteManifest(Build& build, uint64_t serial, std::wstring& error)
{
    PackageList list;
    for (const PlannedPackage& package : build.packages) {
        SetEntry(list, package.entry);
    }
    const std::wstring expires = DateAfterDays(build.request.expiresDays);
    SiteState written;
    const std::string text = Narrow(BuildSiteManifest(list, serial, expires));
    written.manifestBytes.assign(text.begin(), text.end());
    ByteArray signature;
    if (!CheckReadsBack(list, serial, expires, written, error) ||
        !SignBytes(build.key.get(), written.manifestBytes, signature, error)) {
        return false;
    }
    return WriteNewFile(ManifestPathOf(build.staging), text.data(), text.size(), 0644, error) &&
           WriteNewFile(SignaturePathOf(build.staging), signature.data(), signature.size(), 0644, error);
}

// The new folder takes the site's place in one exchange of names, so a web
// server finds either the whole old site or the whole new one.
bool SwapIn(const std::string& staging, const std::string& site, std::wstring& error)
{
    struct stat info {};
    const bool replacing = ::stat(site.c_str(), &info) == 0;
    const int done = replacing ? ::renameat2(AT_FDCWD, staging.c_str(), AT_FDCWD, site.c_str(), RENAME_EXCHANGE)
                               : ::rename(staging.c_str(), site.c_str());
    if (done != 0) {
        error = Wide(site) + L": the new site cannot take its place: " + Wide(std::strerror(errno));
        return false;
    }
    std::error_code ignored;
    fs::remove_all(staging, ignored);
    return true;
}

bool MakeStaging(Build& build, std::wstring& error)
{
    const std::string& site = build.request.site;
    build.staging = site + ".orvpublish-new";
    std::error_code code;
    // A folder left by a run that was cut off is no site; it goes.
    fs::remove_all(build.staging, code);
    if (!fs::create_directory(build.staging, code)) {
        error = Wide(build.staging) + L": cannot be made: " + Wide(code.message());
        return false;
    }
    return true;
}

bool BuildStaged(Build& build, uint64_t serial, std::wstring& error)
{
    for (size_t i = 0; i < build.packages.size(); ++i) {
        if (!WritePackage(build, i, build.packages[i], error)) {
            return false;
        }
    }
    if (!WriteManifest(build, serial, error)) {
        return false;
    }
    // Checked as the updater will meet it, by customers who have the
    // current serial already.
    SiteRules rules;
    rules.installPath = build.request.installPath;
    rules.acceptedSerial = build.current.seal.serialValid ? build.current.seal.serial : 0;
    rules.today = TodayUtc();
    SiteState verified;
    if (!VerifySite(build.staging, build.key.get(), rules, verified, error)) {
        return false;
    }
    const int folder = ::open(build.staging.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const bool durable = folder >= 0 && ::syncfs(folder) == 0;
    if (folder >= 0) {
        ::close(folder);
    }
    if (!durable) {
        error = Wide(build.staging) + L": cannot be written to disk";
    }
    return durable;
}

uint64_t NextSerial(const Build& build, std::wstring& error)
{
    const uint64_t current = build.current.seal.serialValid ? build.current.seal.serial : 0;
    const uint64_t serial = build.request.serial != 0 ? build.request.serial : current + 1;
    if (serial <= current) {
        error = Wide(ManifestPathOf(build.request.site)) + L": serial " + std::to_wstring(serial) +
                L" is not above the site's serial " + std::to_wstring(current);
        return 0;
    }
    return serial;
}

void Summarise(Build& build, uint64_t serial)
{
    for (const PlannedPackage& package : build.packages) {
        build.report.lines.push_back(package.entry.name + L" " + package.entry.version + L" " +
                                     (package.changed ? L"changed" : L"unchanged") + L", " +
                                     std::to_wstring(package.files.size()) + L" files, " +
                                     std::to_wstring(package.entry.size) + L" bytes, sha256 " + package.entry.sha256);
    }
    build.report.lines.push_back(Wide(build.request.site) + L": serial " + std::to_wstring(serial) + L", expires " +
                                 DateAfterDays(build.request.expiresDays));
}

} // namespace

// Two builds of sites in one folder take turns: each reads a site and
// exchanges it whole. The lock ends with the process.
bool LockSiteFolder(const std::string& site, std::wstring& error)
{
    const std::string parent = fs::path(site).parent_path().string();
    std::error_code code;
    fs::create_directories(parent, code);
    const int folder = ::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0 || ::flock(folder, LOCK_EX) != 0) {
        error = Wide(parent) + L": cannot be locked: " + Wide(std::strerror(errno));
        return false;
    }
    return true;
}

bool BuildSite(const BuildRequest& request, BuildReport& report, std::wstring& error)
{
    Build build{request, report, KeyHandle(), SiteState(), {}, std::string()};
    if (!LoadPrivateKey(request.keyPath, build.key, error) || !PlanPackages(build, error) ||
        !LockSiteFolder(request.site, error) || !ReadCurrentSite(build, error)) {
        return false;
    }
    for (const PlannedPackage& package : build.packages) {
        if (!CheckNotOlder(build, package, error)) {
            return false;
        }
    }
    const uint64_t serial = NextSerial(build, error);
    if (serial == 0 || !MakeStaging(build, error)) {
        return false;
    }
    if (!BuildStaged(build, serial, error) || !SwapIn(build.staging, request.site, error)) {
        std::error_code ignored;
        fs::remove_all(build.staging, ignored);
        return false;
    }
    Summarise(build, serial);
    return true;
}

} // namespace orv
