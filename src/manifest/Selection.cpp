#include "manifest/Selection.h"
#include "manifest/Version.h"

namespace orv {

PackageDecision DecidePackage(const std::wstring& localVersion, bool installed, const std::wstring& installedVersion,
                              const std::wstring& serverVersion)
{
    bool localUsable = false;
    bool installedUsable = false;
    CompareVersions(localVersion, serverVersion, &localUsable);
    CompareVersions(installedVersion, serverVersion, &installedUsable);

    PackageDecision decision;
    decision.effectiveVersion = localVersion;
    if (installedUsable && !(localUsable && CompareVersions(localVersion, installedVersion) >= 0)) {
        decision.effectiveVersion = installedVersion;
    }
    // Removed files are fetched again even when the record says current, and
    // nothing is ever replaced by an older server version.
    bool bothValid = false;
    const int order = CompareVersions(decision.effectiveVersion, serverVersion, &bothValid);
    decision.selected = !(order >= 0 && bothValid && installed);
    return decision;
}

} // namespace orv
