#pragma once
// The one test for relative paths taken from packages and listings. Pure: no
// Windows headers.
#include <string>

namespace orv {

bool IsSafeRelativePath(const std::wstring& relativePath);
bool IsReservedDeviceName(const std::wstring& segment);

} // namespace orv
