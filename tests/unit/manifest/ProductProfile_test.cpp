#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "BuildConfig.h"
#include "manifest/ProductProfile.h"
#include "platform/FileSystem.h"
#include "support/TestSupport.h"

namespace {

std::wstring Describe(const ProductProfile& p)
{
    return std::to_wstring(p.kind) + L"|" + p.id + L"|" + p.name + L"|" + p.serverFolder + L"|" + p.mainExecutable +
           L"|" + p.mainPackage;
}

const wchar_t kOrv[] = L"1|orv|ORV|ORVW|Orvw_Lum.exe|Orvw_Lum.zip";
const wchar_t kKds[] = L"2|kds|KDS|KDS|KDS_Lum.exe|KDS_Lum.zip";
const wchar_t kRjks[] = L"3|rjks|RJKS|RJKS|RJKS.exe|RJKS_Lum.zip";

ProductProfile Resolve(const std::wstring& key, const std::wstring& installPath)
{
    RunOptions options;
    options.product = key;
    options.installPath = installPath;
    return ResolveProductProfile(options);
}

TEST(ProductProfileTest, KeysSelectTheirProfile)
{
    TempDir empty;
    const std::pair<const wchar_t*, const wchar_t*> cases[] = {
        {L"2", kKds},    {L"kds", kKds},     {L" KDS\t", kKds},   {L"Kds", kKds},  {L"3", kRjks},
        {L"Rjks", kRjks}, {L"\r\nRJKS ", kRjks}, {L"1", kOrv},    {L"orv", kOrv},  {L"4", kOrv},
        {L"abc", kOrv},  {L"0", kOrv},       {L"kds_lum", kOrv}, {L"2 3", kOrv}, {L"", kOrv},
        {L"   ", kOrv},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Describe(Resolve(c.first, empty.Path())), c.second) << L"[" << c.first << L"]";
    }
}

TEST(ProductProfileTest, AnEmptyKeyDetectsTheInstalledProgram)
{
    TempDir both;
    WriteTestFile(both / L"KDS_Lum.exe", "x");
    WriteTestFile(both / L"RJKS.exe", "x");
    EXPECT_EQ(Describe(Resolve(L"", both.Path())), kKds);
    // An explicit key wins over what is installed.
    EXPECT_EQ(Describe(Resolve(L"orv", both.Path())), kOrv);
    EXPECT_EQ(Describe(Resolve(L"rjks", both.Path())), kRjks);

    TempDir rjks;
    WriteTestFile(rjks / L"rjks.EXE", "x");
    EXPECT_EQ(Describe(Resolve(L" ", rjks.Path())), kRjks);

    // Folders named like the programs do not count.
    TempDir folders;
    CreateDirectories(folders / L"KDS_Lum.exe");
    EXPECT_EQ(Describe(Resolve(L"", folders.Path())), kOrv);
    WriteTestFile(folders / L"RJKS.exe", "x");
    EXPECT_EQ(Describe(Resolve(L"", folders.Path())), kRjks);
}

TEST(ServerBaseTest, NormalizesUserText)
{
    const std::pair<const wchar_t*, const wchar_t*> cases[] = {
        {L"http://host/a", L"http://host/a/"},
        {L"http://host/a/", L"http://host/a/"},
        {L"  http://host/a/updater.xml \r\n", L"http://host/a/"},
        {L"http://host/a/UPDATER.XML", L"http://host/a/"},
        {L"http://host/a/myupdater.xml", L"http://host/a/my/"},
        {L"http://host/a/updater.xml/", L"http://host/a/updater.xml/"},
        {L"http://host/a?x=updater.xml", L"http://host/a?x=/"},
        {L"updater.xml", L""},
        {L"http://host/a \tupdater.xml", L"http://host/a/"},
        {L"\\\\server\\share", L"\\\\server\\share/"},
        {L"   ", L""},
        {L"", L""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(NormalizeServerBase(c.first), c.second) << L"[" << c.first << L"]";
    }
}

TEST(ServerListTest, BuiltInBasesComeInHostOrderHttpFirst)
{
    const std::vector<std::wstring> hosts = {L"one.example", L"two.example:8080", L"three.example"};
    const std::vector<std::wstring> expected = {
        L"http://one.example/fl/dfile/download/KDS/",    L"http://two.example:8080/fl/dfile/download/KDS/",
        L"http://three.example/fl/dfile/download/KDS/",  L"https://one.example/fl/dfile/download/KDS/",
        L"https://two.example:8080/fl/dfile/download/KDS/", L"https://three.example/fl/dfile/download/KDS/",
    };
    EXPECT_EQ(BuildServerListForHosts(L"", ProfileForKind(2), hosts), expected);
    EXPECT_EQ(BuildServerListForHosts(L" \t ", ProfileForKind(2), hosts), expected);

    // The override goes first, used as given: no product folder is added.
    std::vector<std::wstring> withOverride = expected;
    withOverride.insert(withOverride.begin(), L"http://mirror.example/custom/");
    EXPECT_EQ(BuildServerListForHosts(L" http://mirror.example/custom/updater.xml", ProfileForKind(2), hosts),
              withOverride);

    // An override equal to a built-in base (ASCII case ignored) appears once, first.
    EXPECT_EQ(BuildServerListForHosts(L"HTTPS://TWO.example:8080/FL/dfile/download/kds", ProfileForKind(2), hosts),
              (std::vector<std::wstring>{
                  L"HTTPS://TWO.example:8080/FL/dfile/download/kds/", L"http://one.example/fl/dfile/download/KDS/",
                  L"http://two.example:8080/fl/dfile/download/KDS/", L"http://three.example/fl/dfile/download/KDS/",
                  L"https://one.example/fl/dfile/download/KDS/", L"https://three.example/fl/dfile/download/KDS/"}));

    // Hosts that repeat each other collapse too.
    EXPECT_EQ(BuildServerListForHosts(L"", ProfileForKind(3), {L"a.example", L"A.EXAMPLE", L"b.example"}),
              (std::vector<std::wstring>{L"http://a.example/fl/dfile/download/RJKS/",
                                         L"http://b.example/fl/dfile/download/RJKS/",
                                         L"https://a.example/fl/dfile/download/RJKS/",
                                         L"https://b.example/fl/dfile/download/RJKS/"}));
}

TEST(ServerListTest, TheBuildsHostsAreUsed)
{
    RunOptions options;
    const std::vector<std::wstring> servers = BuildServerList(options, ProfileForKind(1));
    ASSERT_EQ(servers.size(), 6u);
    EXPECT_EQ(servers[0], std::wstring(L"http://") + ORV_UPDATE_HOST_1 + L"/fl/dfile/download/ORVW/");
    EXPECT_EQ(servers[1], std::wstring(L"http://") + ORV_UPDATE_HOST_2 + L"/fl/dfile/download/ORVW/");
    EXPECT_EQ(servers[2], std::wstring(L"http://") + ORV_UPDATE_HOST_3 + L"/fl/dfile/download/ORVW/");
    EXPECT_EQ(servers[5], std::wstring(L"https://") + ORV_UPDATE_HOST_3 + L"/fl/dfile/download/ORVW/");

    options.serverUrl = L"http://127.0.0.9:81/x";
    const std::vector<std::wstring> withOverride = BuildServerList(options, ProfileForKind(1));
    ASSERT_EQ(withOverride.size(), 7u);
    EXPECT_EQ(withOverride[0], L"http://127.0.0.9:81/x/");
    EXPECT_EQ(std::vector<std::wstring>(withOverride.begin() + 1, withOverride.end()), servers);
}

TEST(ServerUrlTest, ManifestAndPackageUrlsSitDirectlyUnderTheBase)
{
    const std::wstring base = L"http://127.0.0.1/fl/dfile/download/ORVW/";
    EXPECT_EQ(ManifestUrl(base), base + L"updater.xml");
    EXPECT_EQ(PackageUrl(base, L"Orvw_Lum.zip"), base + L"Orvw_Lum.zip");
    EXPECT_EQ(PackageUrl(base, L"My Package.zip"), base + L"My%20Package.zip");
    EXPECT_EQ(PackageUrl(base, L"a#b.zip"), base + L"a%23b.zip");
    EXPECT_EQ(PackageUrl(base, L""), base);
    // The fall-back touches blanks only.
    EXPECT_EQ(EscapeBlanksOnly(L" a b#%.zip "), L"%20a%20b#%.zip%20");
    EXPECT_EQ(EscapeBlanksOnly(L""), L"");
}

} // namespace
