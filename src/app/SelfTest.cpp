// "/selftest": the updater checks its own logic where it is installed, with
// no network and no change to the installation.
#include <windows.h>

#include <functional>
#include <vector>

#include "app/Session.h"
#include "manifest/Version.h"
#include "platform/FileSystem.h"
#include "platform/ProgramInfo.h"
#include "platform/PathSafety.h"
#include "platform/ExitCodes.h"

namespace orv {

namespace {

const wchar_t kFixtureText[] =
    L"<?xml version=\"1.0\"?><Updater><version><Orvw_Lum.zip>27.1.2.3</Orvw_Lum.zip>"
    L"<OrvUpdater.zip>27.0.0.4</OrvUpdater.zip></version></Updater>";

bool Ordered(const std::wstring& a, const std::wstring& b, int expected)
{
    bool bothValid = false;
    const int order = CompareVersions(a, b, &bothValid);
    return bothValid && order == expected;
}

bool ReadsTwoPackages(const std::wstring& path, PackageList& packages)
{
    std::wstring error;
    return ReadManifestFile(path, packages, error) && packages.size() == 2;
}

} // namespace

int RunSelfTest(TraceLog& log)
{
    const std::wstring work =
        JoinPath(GetTempFolder(), L"OrvUpdaterW7-selftest-" + std::to_wstring(::GetCurrentProcessId()));
    const std::wstring fixture = JoinPath(work, L"updater.xml");
    const std::wstring roundTrip = JoinPath(work, L"roundtrip.xml");
    PackageList packages;
    PackageList reread;
    std::wstring error;
    // In order; the first check that fails is the result.
    const std::vector<std::function<bool()>> checks = {
        [] { return Ordered(L"1.2.3", L"1.2.4", -1); },
        [] { return Ordered(L"27.0", L"26.9.9.9", 1); },
        [] { return Ordered(GetFileVersionText(GetModulePath()), kProgramVersion, 0); },
        [] { return IsSafeRelativePath(L"folder\\file.dll"); },
        [] {
            return !IsSafeRelativePath(L"..\\file.dll") && !IsSafeRelativePath(L"C:\\file.dll") &&
                   !IsSafeRelativePath(L"folder\\CON.txt");
        },
        [&] {
            DeleteTree(work);
            return CreateDirectories(work);
        },
        [&] { return WriteFileAtomic(fixture, kFixtureText, error); },
        [&] { return ReadsTwoPackages(fixture, packages); },
        [&] { return WriteStateFile(roundTrip, packages, error); },
        [&] { return ReadsTwoPackages(roundTrip, reread); },
    };
    for (size_t i = 0; i < checks.size(); ++i) {
        if (!checks[i]()) {
            // A failed check leaves its work folder for inspection.
            return kExitSelfTestFirst + static_cast<int>(i);
        }
    }
    DeleteTree(work);
    log.Info(L"Native self-test PASS");
    return kExitDone;
}

} // namespace orv
