#pragma once
// orvpublish build: a release folder and its layout become a signed site.
// Everything is written into a new folder beside the site, checked there as
// the updater would check it, and only then exchanged with the site in one
// rename; a run that fails leaves the site as it was.
#include <cstdint>
#include <string>
#include <vector>

namespace orv {

struct BuildRequest {
    std::string layoutPath;
    std::string releaseRoot;
    std::string site;
    std::string keyPath;
    int64_t expiresDays = 90;
    uint64_t serial = 0; // 0: one above the site's current serial
    std::wstring installPath;
};

// What the build did, one line per package and one for the site, and what a
// publisher should know even though the site was built.
struct BuildReport {
    std::vector<std::wstring> lines;
    std::vector<std::wstring> warnings;
};

bool BuildSite(const BuildRequest& request, BuildReport& report, std::wstring& error);

} // namespace orv
