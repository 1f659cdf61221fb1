#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "manifest/ProductProfile.h"
#include "platform/FileSystem.h"
#include "support/TestSupport.h"

using namespace orv;

namespace {

const wchar_t kOrv[] = L"1|orv|ORV|ORVW|Orvw_Lum.exe|Orvw_Lum.zip";
const wchar_t kKds[] = L"2|kds|KDS|KDS|KDS_Lum.exe|KDS_Lum.zip";
const wchar_t kRjks[] = L"3|rjks|RJKS|RJKS|RJKS.exe|RJKS_Lum.zip";

TEST(ProductProfileTest, AKeySelectsItsProfileAndAnEmptyOneLooksAtTheInstalledFiles)
{
    TempDir empty, both, rjks, folders;
    WriteTestFile(both / L"KDS_Lum.exe", "x");
    WriteTestFile(both / L"RJKS.exe", "x");
    WriteTestFile(rjks / L"rjks.EXE", "x");
    CreateDirectories(folders / L"KDS_Lum.exe"); // a folder named like the program does not count
    const struct {
        const wchar_t* key;
        const std::wstring& folder;
        const wchar_t* profile;
    } cases[] = {
        {L"2", empty.Path(), kKds},   {L" Kds\t", empty.Path(), kKds},   {L"3", empty.Path(), kRjks},
        {L"\r\nRJKS ", empty.Path(), kRjks}, {L"orv", both.Path(), kOrv}, {L"4", empty.Path(), kOrv},
        {L"kds_lum", empty.Path(), kOrv},    {L"2 3", empty.Path(), kOrv}, {L"", empty.Path(), kOrv},
        {L"", both.Path(), kKds},     {L" ", rjks.Path(), kRjks},        {L"", folders.Path(), kOrv},
    };
    for (const auto& c : cases) {
        const ProductProfile p = ResolveProductProfile(c.key, c.folder);
        EXPECT_EQ(std::to_wstring(p.kind) + L"|" + p.id + L"|" + p.name + L"|" + p.serverFolder + L"|" +
                      p.mainExecutable + L"|" + p.mainPackage, c.profile)
            << L"[" << c.key << L"] in " << c.folder;
    }
}

TEST(ServerListTest, OverrideFirstThenEveryHostOverHttpThenHttpsWithoutRepeats)
{
    const std::pair<const wchar_t*, const wchar_t*> bases[] = {
        {L"  http://host/a/updater.xml \r\n", L"http://host/a/"}, {L"http://host/a/UPDATER.XML", L"http://host/a/"},
        {L"http://host/a/myupdater.xml", L"http://host/a/my/"},  {L"http://host/a?x=updater.xml", L"http://host/a?x=/"},
        {L"http://host/a \tupdater.xml", L"http://host/a/"},      {L"updater.xml", L""},
        {L"   ", L""},
    };
    for (const auto& c : bases) {
        EXPECT_EQ(NormalizeServerBase(c.first), c.second) << L"[" << c.first << L"]";
    }
    const std::vector<std::wstring> hosts = {L"one.example", L"two.example:8080", L"ONE.EXAMPLE"};
    EXPECT_EQ(BuildServerListForHosts(L"HTTPS://TWO.example:8080/FL/dfile/download/kds", ProfileForKind(2), hosts),
              (std::vector<std::wstring>{L"HTTPS://TWO.example:8080/FL/dfile/download/kds/",
                                         L"http://one.example/fl/dfile/download/KDS/",
                                         L"http://two.example:8080/fl/dfile/download/KDS/",
                                         L"https://one.example/fl/dfile/download/KDS/"}));
}

TEST(ServerListTest, PackageNamesAreEscapedAsOnePathSegment)
{
    const std::wstring base = L"http://127.0.0.1/fl/dfile/download/ORVW/";
    EXPECT_EQ(ManifestUrl(base), base + L"updater.xml");
    EXPECT_EQ(PackageUrl(base, L"My Package.zip"), base + L"My%20Package.zip");
    EXPECT_EQ(PackageUrl(base, L"a#b/c.zip"), base + L"a%23b%2Fc.zip");
    // The fall-back, when the system's escaper fails, touches blanks only.
    EXPECT_EQ(EscapeBlanksOnly(L" a b#%.zip"), L"%20a%20b#%.zip");
}

} // namespace
