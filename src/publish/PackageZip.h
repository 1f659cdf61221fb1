#pragma once
// Package ZIPs written so that the same files always give the same bytes:
// entries in the order given (sorted by the caller), one fixed time stamp,
// no attributes, no folder entries, one compression level. An unchanged
// package then keeps its SHA-256, and no updater fetches it again.
#include <string>
#include <vector>

namespace orv {

// Writes the release files (relative to releaseRoot, with "/") into a new
// ZIP at zipPath under the same names.
bool WritePackageZip(const std::string& zipPath, const std::string& releaseRoot, const std::vector<std::string>& files,
                     std::wstring& error);

} // namespace orv
