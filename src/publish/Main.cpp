// orvpublish: the publisher's side of the updater. It makes the publisher's
// key pair, builds a signed update site from a release folder, verifies a
// site (and what an installation would fetch from it) by the updater's own
// rules, and Authenticode-signs executables. Every failure is one line on
// stderr naming the file and the rule, and a non-zero exit.
#include <sys/stat.h>

#include <clocale>
#include <cstdio>
#include <filesystem>
#include <map>
#include <set>

#include "manifest/Selection.h"
#include "platform/InstallLayout.h"
#include "publish/CodeSign.h"
#include "publish/NativeFiles.h"
#include "publish/Site.h"
#include "publish/SiteBuild.h"

namespace orv {

namespace {

const char kUsage[] =
    "usage: orvpublish keygen DIR\n"
    "       orvpublish build --layout FILE --release DIR --site DIR --key private.pem\n"
    "                        [--expires-days N] [--serial N] [--install-path WINDOWS-PATH]\n"
    "       orvpublish verify --site DIR --key public.pem [--install DIR] [--install-path WINDOWS-PATH]\n"
    "       orvpublish sign-exe --cert FILE --key FILE EXE...\n";

constexpr int kExitRefused = 1;
constexpr int kExitUsage = 2;
constexpr uint64_t kMaxExpiryDays = 3650;

struct Arguments {
    std::map<std::string, std::string> options;
    std::vector<std::string> rest;
};

void Say(const std::wstring& line)
{
    std::printf("%s\n", Narrow(line).c_str());
}

int Refuse(const std::wstring& error)
{
    std::fprintf(stderr, "orvpublish: %s\n", Narrow(error).c_str());
    return kExitRefused;
}

// "--name value" pairs of the known names, then the rest; required names
// must be there.
bool ParseArguments(const std::vector<std::string>& words, const std::set<std::string>& known,
                    const std::set<std::string>& required, Arguments& arguments)
{
    for (size_t i = 0; i < words.size(); ++i) {
        if (words[i].compare(0, 2, "--") != 0) {
            arguments.rest.push_back(words[i]);
        } else if (known.count(words[i]) == 0 || i + 1 == words.size() ||
                   !arguments.options.emplace(words[i], words[i + 1]).second) {
            return false;
        } else {
            ++i;
        }
    }
    for (const std::string& name : required) {
        if (arguments.options.count(name) == 0) {
            return false;
        }
    }
    return true;
}

// A folder as an absolute path without a trailing "/", so that its siblings
// are siblings.
std::string FolderPath(const std::string& text)
{
    std::filesystem::path path = std::filesystem::absolute(text).lexically_normal();
    return (path.has_filename() ? path : path.parent_path()).string();
}

bool NumberOption(const Arguments& arguments, const std::string& name, uint64_t& value)
{
    const auto found = arguments.options.find(name);
    return found == arguments.options.end() || ParseDecimal64(Wide(found->second), value);
}

std::wstring InstallPathOption(const Arguments& arguments)
{
    const auto found = arguments.options.find("--install-path");
    return found == arguments.options.end() ? std::wstring(kDefaultInstallPath) : Wide(found->second);
}

int RunBuild(const std::vector<std::string>& words)
{
    Arguments arguments;
    uint64_t days = 90;
    BuildRequest request;
    if (!ParseArguments(words, {"--layout", "--release", "--site", "--key", "--expires-days", "--serial",
                                "--install-path"},
                        {"--layout", "--release", "--site", "--key"}, arguments) ||
        !arguments.rest.empty() || !NumberOption(arguments, "--expires-days", days) || days == 0 ||
        days > kMaxExpiryDays || !NumberOption(arguments, "--serial", request.serial)) {
        std::fputs(kUsage, stderr);
        return kExitUsage;
    }
    request.layoutPath = arguments.options["--layout"];
    request.releaseRoot = FolderPath(arguments.options["--release"]);
    request.site = FolderPath(arguments.options["--site"]);
    request.keyPath = arguments.options["--key"];
    request.expiresDays = static_cast<int64_t>(days);
    request.installPath = InstallPathOption(arguments);
    BuildReport report;
    std::wstring error;
    const bool built = BuildSite(request, report, error);
    for (const std::wstring& warning : report.warnings) {
        std::fprintf(stderr, "orvpublish: warning: %s\n", Narrow(warning).c_str());
    }
    if (!built) {
        return Refuse(error);
    }
    for (const std::wstring& line : report.lines) {
        Say(line);
    }
    return 0;
}

// The highest serial the installation has accepted, as its updater keeps it.
uint64_t AcceptedSerialOf(const std::string& install)
{
    ByteArray bytes;
    std::wstring ignored;
    const std::string path = install + "/" + Narrow(kSerialFileName);
    return ReadBytes(path, bytes, ignored) ? ParseAcceptedSerial(Utf8ToWide(bytes.data(), bytes.size())) : 0;
}

// What the updater in that install folder would fetch, line for line as its
// trace log gives the selection.
bool ReportSelection(const std::string& install, const SiteState& site, std::wstring& error)
{
    PackageList local;
    std::wstring stateError;
    const LocalStateSource source = ReadLocalState(Wide(install), local, stateError);
    std::vector<ListedFolderView::Item> items;
    if (!ListedFolderView::OfFolder(install, items, error)) {
        return false;
    }
    const ListedFolderView folder(std::move(items));
    Say(Wide(install) + L": state from " +
        (source == LocalStateSource::StateDocument    ? std::wstring(kStateFileName)
         : source == LocalStateSource::LegacyDocument ? std::wstring(kLegacyStateFileName)
                                                      : L"installed files only (" + stateError + L")") +
        L", accepted serial " + std::to_wstring(AcceptedSerialOf(install)));
    for (const PackageEntry& entry : site.packages) {
        Say(L"  " + JudgePackage(entry, local, folder).line);
    }
    return true;
}

int RunVerify(const std::vector<std::string>& words)
{
    Arguments arguments;
    if (!ParseArguments(words, {"--site", "--key", "--install", "--install-path"}, {"--site", "--key"},
                        arguments) ||
        !arguments.rest.empty()) {
        std::fputs(kUsage, stderr);
        return kExitUsage;
    }
    const std::string site = FolderPath(arguments.options["--site"]);
    const bool withInstall = arguments.options.count("--install") != 0;
    const std::string install = withInstall ? FolderPath(arguments.options["--install"]) : std::string();
    SiteRules rules;
    rules.installPath = InstallPathOption(arguments);
    rules.acceptedSerial = withInstall ? AcceptedSerialOf(install) : 0;
    rules.today = TodayUtc();
    KeyHandle key;
    SiteState state;
    std::wstring error;
    if (!LoadPublicKey(arguments.options["--key"], key, error) || !VerifySite(site, key.get(), rules, state, error)) {
        return Refuse(error);
    }
    Say(Wide(site) + L": serial " + std::to_wstring(state.seal.serial) + L", expires " + state.seal.expiresText +
        L", " + std::to_wstring(state.packages.size()) + L" packages pass every check of the updater");
    const int64_t daysLeft = DaysUntil(state.seal.expires);
    if (daysLeft < static_cast<int64_t>(kExpiryWarningDays)) {
        std::fprintf(stderr, "orvpublish: warning: %s expires in %lld days; publish again before %s\n",
                     ManifestPathOf(site).c_str(), static_cast<long long>(daysLeft),
                     Narrow(state.seal.expiresText).c_str());
    }
    if (withInstall && !ReportSelection(install, state, error)) {
        return Refuse(error);
    }
    return 0;
}

int RunKeygen(const std::vector<std::string>& words)
{
    if (words.size() != 1) {
        std::fputs(kUsage, stderr);
        return kExitUsage;
    }
    std::wstring error;
    if (!GenerateKeyPair(words[0], error)) {
        return Refuse(error);
    }
    Say(Wide(words[0]) + L"/private.pem: the publisher's private key; keep it secret");
    Say(Wide(words[0]) + L"/public.pem: build the updater with ORV_PUBLISHER_KEY naming this file");
    return 0;
}

int RunSignExe(const std::vector<std::string>& words)
{
    Arguments arguments;
    if (!ParseArguments(words, {"--cert", "--key"}, {"--cert", "--key"}, arguments) || arguments.rest.empty()) {
        std::fputs(kUsage, stderr);
        return kExitUsage;
    }
    std::wstring error;
    if (!SignExecutables(arguments.options["--cert"], arguments.options["--key"], arguments.rest, error)) {
        return Refuse(error);
    }
    for (const std::string& file : arguments.rest) {
        Say(Wide(file) + L": signed and verified");
    }
    return 0;
}

} // namespace

} // namespace orv

int main(int argc, char** argv)
{
    // Wide letter case and classes as Windows knows them beyond ASCII.
    std::setlocale(LC_CTYPE, "C.UTF-8");
    const std::string command = argc > 1 ? argv[1] : "";
    const std::vector<std::string> words(argv + (argc > 1 ? 2 : 1), argv + argc);
    using Command = int (*)(const std::vector<std::string>&);
    const std::map<std::string, Command> commands = {{"keygen", orv::RunKeygen},
                                                     {"build", orv::RunBuild},
                                                     {"verify", orv::RunVerify},
                                                     {"sign-exe", orv::RunSignExe}};
    const auto found = commands.find(command);
    if (found == commands.end()) {
        std::fputs(orv::kUsage, stderr);
        return orv::kExitUsage;
    }
    return found->second(words);
}
