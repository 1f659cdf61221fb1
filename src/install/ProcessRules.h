#pragma once
// Which programs the updater may stop. Pure: no Windows headers.
#include <cstdint>
#include <string>
#include <vector>

// System, shell and updater programs: never stopped.
bool IsProtectedProcessName(const std::wstring& nameOrPath);
// The suite's own programs: stopped before every package.
bool IsApplicationProcessName(const std::wstring& nameOrPath);
// True for an image below the install folder (any depth), never for a
// sibling folder whose name merely starts the same.
bool IsBelowInstallFolder(const std::wstring& imagePath, const std::wstring& installFolder);

// One process that holds a locked file.
struct LockHolder {
    uint32_t pid = 0;
    std::wstring imagePath;
};

// Whether a holder of a locked file may be stopped: not protected, and
// either a suite program or a program run from the install folder.
bool MayStopLockHolder(const LockHolder& holder, const std::wstring& installFolder);
