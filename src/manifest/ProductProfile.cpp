#include "manifest/ProductProfile.h"

#include <algorithm>
#include <cwctype>
#include <set>

#include "BuildConfig.h"
#include "manifest/Manifest.h"
#include "platform/PathText.h"

namespace orv {

namespace {

const wchar_t kServerPath[] = L"/fl/dfile/download/";

} // namespace

ProductProfile ProfileForKind(int32_t kind)
{
    ProductProfile profile;
    switch (kind) {
    case 2:
        profile = {2, L"kds", L"KDS", L"KDS", L"KDS_Lum.exe", L"KDS_Lum.zip"};
        break;
    case 3:
        profile = {3, L"rjks", L"RJKS", L"RJKS", L"RJKS.exe", L"RJKS_Lum.zip"};
        break;
    default:
        profile = {1, L"orv", L"ORV", L"ORVW", L"Orvw_Lum.exe", L"Orvw_Lum.zip"};
        break;
    }
    return profile;
}

int32_t ProfileKindForKey(const std::wstring& key)
{
    std::wstring lowered = TrimWhitespace(key);
    std::transform(lowered.begin(), lowered.end(), lowered.begin(),
                   [](wchar_t c) { return static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c))); });
    if (lowered.empty()) {
        return 0;
    }
    if (lowered == L"2" || lowered == L"kds") {
        return 2;
    }
    if (lowered == L"3" || lowered == L"rjks") {
        return 3;
    }
    return 1;
}

std::wstring NormalizeServerBase(const std::wstring& text)
{
    std::wstring base = TrimWhitespace(text);
    // A full manifest URL is accepted in place of its folder.
    if (EndsWithNoCase(base, kManifestFileName)) {
        base.erase(base.size() - (sizeof(kManifestFileName) / sizeof(wchar_t) - 1));
    }
    while (!base.empty() && (base.back() == L' ' || base.back() == L'\t')) {
        base.pop_back();
    }
    if (!base.empty() && base.back() != L'/') {
        base.push_back(L'/');
    }
    return base;
}

std::vector<std::wstring> BuildServerListForHosts(const std::wstring& serverOverride, const ProductProfile& profile,
                                                  const std::vector<std::wstring>& hosts)
{
    std::vector<std::wstring> candidates;
    if (!serverOverride.empty()) {
        candidates.push_back(NormalizeServerBase(serverOverride));
    }
    for (const wchar_t* scheme : {L"http://", L"https://"}) {
        for (const std::wstring& host : hosts) {
            candidates.push_back(scheme + host + kServerPath + profile.serverFolder + L"/");
        }
    }
    std::vector<std::wstring> servers;
    std::set<std::wstring> seen;
    for (const std::wstring& candidate : candidates) {
        if (!candidate.empty() && seen.insert(FoldAsciiCase(candidate)).second) {
            servers.push_back(candidate);
        }
    }
    return servers;
}

std::vector<std::wstring> BuildServerList(const std::wstring& serverOverride, const ProductProfile& profile)
{
    return BuildServerListForHosts(serverOverride, profile,
                                   {ORV_UPDATE_HOST_1, ORV_UPDATE_HOST_2, ORV_UPDATE_HOST_3});
}

std::wstring ManifestUrl(const std::wstring& serverBase)
{
    return serverBase + kManifestFileName;
}

std::wstring EscapeBlanksOnly(const std::wstring& name)
{
    std::wstring out;
    out.reserve(name.size());
    for (const wchar_t c : name) {
        if (c == L' ') {
            out += L"%20";
        } else {
            out.push_back(c);
        }
    }
    return out;
}

} // namespace orv
