// The proxy rules that need no system calls.
#include "download/Proxy.h"

#include <vector>

namespace orv {

const wchar_t kDirectConnectionName[] = L"DIRECT";

namespace {

wchar_t AsciiLower(wchar_t c)
{
    return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c;
}

std::wstring Lower(std::wstring text)
{
    for (wchar_t& c : text) {
        c = AsciiLower(c);
    }
    return text;
}

// Entries are separated by semicolons, commas or blanks, as the settings
// dialogs and proxy scripts write them.
std::vector<std::wstring> Entries(const std::wstring& list)
{
    std::vector<std::wstring> entries(1);
    for (const wchar_t c : list) {
        if (c == L';' || c == L',' || c == L' ' || c == L'\t' || c == L'\r' || c == L'\n') {
            if (!entries.back().empty()) {
                entries.emplace_back();
            }
        } else {
            entries.back().push_back(c);
        }
    }
    if (entries.back().empty()) {
        entries.pop_back();
    }
    return entries;
}

std::wstring WithoutScheme(const std::wstring& entry)
{
    const size_t separator = entry.find(L"://");
    return separator == std::wstring::npos ? entry : entry.substr(separator + 3);
}

// "host:port" of a proxy entry: no scheme, no user name or password (never
// sent or logged), no trailing slash.
std::wstring ProxyAddress(const std::wstring& entry)
{
    std::wstring address = WithoutScheme(entry);
    const size_t at = address.rfind(L'@');
    if (at != std::wstring::npos) {
        address.erase(0, at + 1);
    }
    while (!address.empty() && address.back() == L'/') {
        address.pop_back();
    }
    return address;
}

// "*" stands for any run of characters; both sides are lower case.
bool WildcardMatch(const std::wstring& pattern, const std::wstring& text)
{
    size_t p = 0;
    size_t t = 0;
    size_t star = std::wstring::npos;
    size_t resume = 0;
    while (t < text.size()) {
        if (p < pattern.size() && pattern[p] == L'*') {
            star = p++;
            resume = t;
        } else if (p < pattern.size() && pattern[p] == text[t]) {
            ++p;
            ++t;
        } else if (star != std::wstring::npos) {
            p = star + 1;
            t = ++resume;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == L'*') {
        ++p;
    }
    return p == pattern.size();
}

bool EntryNamesHost(const std::wstring& entry, const std::wstring& host, uint16_t port)
{
    if (entry == L"<local>") {
        return host.find(L'.') == std::wstring::npos && host.find(L':') == std::wstring::npos;
    }
    std::wstring pattern = WithoutScheme(entry);
    const size_t colon = pattern.rfind(L':');
    if (colon != std::wstring::npos && pattern.find(L']') == std::wstring::npos && colon + 1 < pattern.size() &&
        pattern.find_first_not_of(L"0123456789", colon + 1) == std::wstring::npos) {
        if (pattern.substr(colon + 1) != std::to_wstring(port)) {
            return false;
        }
        pattern.erase(colon);
    }
    return WildcardMatch(pattern, host);
}

} // namespace

bool BypassesProxy(const std::wstring& bypassList, const std::wstring& host, uint16_t port)
{
    const std::wstring name = Lower(host);
    for (const std::wstring& entry : Entries(Lower(bypassList))) {
        if (EntryNamesHost(entry, name, port)) {
            return true;
        }
    }
    return false;
}

std::wstring ProxyForUrl(const std::wstring& proxyList, const std::wstring& bypassList, const std::wstring& scheme,
                         const std::wstring& host, uint16_t port)
{
    const std::wstring wanted = Lower(scheme) + L"=";
    std::wstring own;
    std::wstring plain;
    for (const std::wstring& entry : Entries(proxyList)) {
        const size_t equals = entry.find(L'=');
        if (equals == std::wstring::npos) {
            if (plain.empty()) {
                plain = ProxyAddress(entry);
            }
        } else if (own.empty() && Lower(entry.substr(0, equals + 1)) == wanted) {
            own = ProxyAddress(entry.substr(equals + 1));
        }
    }
    const std::wstring proxy = own.empty() ? plain : own;
    return proxy.empty() || BypassesProxy(bypassList, host, port) ? std::wstring() : proxy;
}

std::wstring ProxyLogMessage(const std::wstring& url, const std::wstring& proxy)
{
    return L"Proxy | URL=" + url + L" | Proxy=" + (proxy.empty() ? std::wstring(kDirectConnectionName) : proxy);
}

} // namespace orv
