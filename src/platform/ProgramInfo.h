#pragma once

namespace orv {

// The program's identity. The version is defined by each executable (a
// generated ProgramVersion.cpp), so one build of the library can make
// updaters of different versions; the same value stamps the version resource.

extern const wchar_t kProgramVersion[];
constexpr wchar_t kProgramName[] = L"OrvUpdaterW7";
constexpr wchar_t kProgramExeName[] = L"OrvUpdaterW7.exe";

} // namespace orv
