#pragma once
// The program's identity. The version comes from the build (one definition
// feeds this constant and the version resource).
#include "BuildConfig.h"

constexpr wchar_t kProgramVersion[] = ORV_VERSION_WIDE;
constexpr wchar_t kProgramName[] = L"OrvUpdaterW7";
constexpr wchar_t kProgramExeName[] = L"OrvUpdaterW7.exe";
