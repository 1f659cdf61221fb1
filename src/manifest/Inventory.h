#pragma once
// What of a package is installed: every question is asked by the package's
// stem (its file name without the last extension) inside the install folder.
#include <string>

namespace orv {

// Candidate files of a package, tried in this order: stem + extension.
extern const wchar_t* const kCandidateExtensions[13];

// The updater's own package, answered from the running executable when that
// executable is the install folder's "OrvUpdaterW7.exe".
bool IsUpdaterSelfPackage(const std::wstring& packageName, const std::wstring& installFolder,
                          const std::wstring& runningExecutable);

bool IsPackageInstalled(const std::wstring& packageName, const std::wstring& installFolder);

// The installed version: the file version of the first file of the package,
// "0.0.0.0" when that file carries none, empty when nothing of the package
// is present.
std::wstring GetInstalledVersion(const std::wstring& packageName, const std::wstring& installFolder);

} // namespace orv
