#pragma once
// The file version of a Windows executable or library, read from the bytes of
// the file without Windows: the fixed file information of its version
// resource, as the updater's version query on Windows gives it. Pure, and
// written for untrusted input: every offset is checked before it is read.
#include <cstddef>
#include <string>

namespace orv {

// "a.b.c.d" from the file version (not the product version) of the first
// language of version resource 1; false when the bytes are no PE file or
// carry no such resource.
bool ReadPeFileVersion(const unsigned char* data, size_t size, std::wstring& version);

} // namespace orv
