#pragma once
// Which product of the suite a run updates, and the update servers it asks.
// The profile table, server-base rules and server order are pure; resolving
// a profile (it looks into the install folder) and escaping a package name
// for a URL are platform calls kept in ProductProfileWin.cpp.
#include <cstdint>
#include <string>
#include <vector>

namespace orv {

struct ProductProfile {
    int32_t kind = 1;
    std::wstring id;
    std::wstring name;
    std::wstring serverFolder;
    std::wstring mainExecutable;
    std::wstring mainPackage;
};

// The built-in profile of kind 1, 2 or 3; any other number gives kind 1.
ProductProfile ProfileForKind(int32_t kind);

// The kind a product key names after trimming and lower-casing: 2 for "2" or
// "kds", 3 for "3" or "rjks", 0 for an empty key (detect from the install
// folder), 1 for anything else.
int32_t ProfileKindForKey(const std::wstring& key);

// From the product key, or for an empty key from the main executables found
// in the install folder ("KDS_Lum.exe" before "RJKS.exe", files only).
ProductProfile ResolveProductProfile(const std::wstring& productKey, const std::wstring& installFolder);

// A server base from user text: trimmed, without a trailing "updater.xml",
// ending in "/" unless empty.
std::wstring NormalizeServerBase(const std::wstring& text);

// The server bases in the order they are tried: the override (used as given,
// normalised) and then each of the three hosts over HTTP, then over HTTPS,
// each with the profile's folder. Empty and repeated (ASCII case ignored)
// bases are left out.
std::vector<std::wstring> BuildServerList(const std::wstring& serverOverride, const ProductProfile& profile);
std::vector<std::wstring> BuildServerListForHosts(const std::wstring& serverOverride, const ProductProfile& profile,
                                                  const std::vector<std::wstring>& hosts);

// What every server base holds: the manifest, and beside it (when manifests
// are signed) its signature under the same name with this suffix.
constexpr wchar_t kManifestFileName[] = L"updater.xml";
constexpr wchar_t kSignatureSuffix[] = L".sig";

std::wstring ManifestUrl(const std::wstring& serverBase);

// The package file name as one URL path segment below the server base.
std::wstring PackageUrl(const std::wstring& serverBase, const std::wstring& packageName);
// The fall-back escaping when the system escaper fails: blanks only.
std::wstring EscapeBlanksOnly(const std::wstring& name);

} // namespace orv
