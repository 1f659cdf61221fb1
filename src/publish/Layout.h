#pragma once
// The layout file: which release files make which package, and where each
// package's version comes from. A small line format, one package per block:
//
//   # comment
//   package Orvw_Lum.zip
//   version-from Orvw_Lum.exe      (the file's version resource)
//   files Orvw_Lum.exe
//   files Reports/*.rpt
//   files Help/**
//
//   package OrvData.zip
//   version 27.1.0.0               (for packages without an executable)
//   files OrvData.json
//
// Each line is a word and a value (the rest of the line, trimmed). Paths are
// relative to the release folder, with "/"; in a files pattern "*" and "?"
// stay within one folder and "**" stands for any number of folders. Pure.
#include <cstddef>
#include <string>
#include <vector>

namespace orv {

struct LayoutLine {
    std::wstring value;
    size_t line = 0;
};

struct LayoutPackage {
    LayoutLine name;
    LayoutLine version;     // given in the layout, or
    LayoutLine versionFrom; // the release file whose version resource gives it
    std::vector<LayoutLine> files;
};

// False with the line's number (0: the whole file) and what is wrong with it.
bool ParseLayout(const std::wstring& text, std::vector<LayoutPackage>& packages, size_t& errorLine,
                 std::wstring& error);

// Whether a release-relative path (with "/") matches a files pattern.
bool MatchesPattern(const std::wstring& pattern, const std::wstring& path);

} // namespace orv
