#pragma once
// Forced into every file of the publisher's tool: the case-insensitive
// compares of the Windows run-time library that the updater's rules call,
// folding as its "C" locale does (ASCII letters only).
#include <cstddef>

inline int _wcsnicmp(const wchar_t* a, const wchar_t* b, size_t count)
{
    for (size_t i = 0; i < count; ++i) {
        const wchar_t x = (a[i] >= L'A' && a[i] <= L'Z') ? a[i] - L'A' + L'a' : a[i];
        const wchar_t y = (b[i] >= L'A' && b[i] <= L'Z') ? b[i] - L'A' + L'a' : b[i];
        if (x != y || x == 0) {
            return static_cast<int>(x) - static_cast<int>(y);
        }
    }
    return 0;
}

inline int _wcsicmp(const wchar_t* a, const wchar_t* b)
{
    return _wcsnicmp(a, b, static_cast<size_t>(-1));
}
