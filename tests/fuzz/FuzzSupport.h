#pragma once
// What every fuzz target shares: the input as the UTF-16 code units Windows
// would hold, and a check that stops the run with the broken property.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

// wchar_t is 32-bit here and 16-bit on Windows: each little-endian byte pair
// becomes one unit, lone surrogates included, so the rules see only what a
// Windows string can hold. An odd last byte is dropped.
inline std::wstring Utf16Units(const uint8_t* data, size_t size)
{
    std::wstring text;
    text.reserve(size / 2);
    for (size_t i = 0; i + 1 < size; i += 2) {
        text.push_back(static_cast<wchar_t>(data[i] | (data[i + 1] << 8)));
    }
    return text;
}

// The text cut at every separator unit; always at least one (maybe empty) part.
inline std::vector<std::wstring> SplitUnits(const std::wstring& text, wchar_t separator)
{
    std::vector<std::wstring> parts(1);
    for (const wchar_t c : text) {
        if (c == separator) {
            parts.emplace_back();
        } else {
            parts.back().push_back(c);
        }
    }
    return parts;
}

// libFuzzer keeps the input that made the run abort.
#define FUZZ_CHECK(c) \
    ((c) ? (void)0 : (std::fprintf(stderr, "property broken at %s:%d: %s\n", __FILE__, __LINE__, #c), std::abort()))
