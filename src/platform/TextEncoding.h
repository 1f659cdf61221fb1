#pragma once
// UTF-8 and UTF-16 conversion through the system's code-page functions
// (TextEncodingWin.cpp). Programs built natively from the pure rules bring
// their own definitions.
#include <cstddef>
#include <string>

namespace orv {

std::string WideToUtf8(const std::wstring& text);
// Bytes that are not UTF-8 are read in the system ANSI code page, as older
// files and tools wrote them.
std::wstring Utf8ToWide(const void* data, size_t size);
std::wstring Utf8ToWide(const std::string& bytes);

} // namespace orv
