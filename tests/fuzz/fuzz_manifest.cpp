// Manifest documents: whatever a document yields, the state document written
// from it, in any order of entries, reads back as the same list.
#include <algorithm>

#include "FuzzSupport.h"
#include "manifest/Manifest.h"

using namespace orv;

namespace {

bool SameLists(const PackageList& a, const PackageList& b)
{
    const auto same = [](const PackageEntry& x, const PackageEntry& y) {
        return x.name == y.name && x.version == y.version && x.serverMissing == y.serverMissing;
    };
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), same);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    PackageList read;
    std::wstring error;
    if (!ParseManifestText(Utf16Units(data, size), read, error)) {
        FUZZ_CHECK(!error.empty());
        return 0;
    }
    // The session records packages one by one, so a state list need not keep
    // the order of any document.
    PackageList reversed;
    for (size_t i = read.size(); i-- > 0;) {
        SetEntry(reversed, read[i]);
    }
    for (const PackageList* list : {&read, &reversed}) {
        PackageList again;
        FUZZ_CHECK(ParseManifestText(BuildStateText(*list), again, error));
        FUZZ_CHECK(SameLists(*list, again));
    }
    return 0;
}
