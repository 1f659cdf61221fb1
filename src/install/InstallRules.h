#pragma once
// Text and decision rules of the installer. Pure: no Windows headers, so they
// can also be compiled natively (for fuzzing).
#include <cstdint>
#include <string>

// Lower-cases the ASCII letters only: every name the installer compares
// this way is ASCII.
std::wstring LowerAscii(std::wstring text);

// How many times one file is tried before it is left to the next restart.
constexpr uint32_t kCopyAttempts = 4;

// The pause after a failed attempt grows with each attempt (300 ms steps),
// giving a program that was asked to close time to let go of the file.
uint32_t RetryPauseMs(uint32_t attempt);

// The side file a new copy is written to before it is renamed over the
// target. It sits beside the target so the rename stays on one volume.
std::wstring SideFilePath(const std::wstring& target, uint32_t processId);

// The part of full below root, without leading separators.
std::wstring RelativeToRoot(const std::wstring& full, const std::wstring& root);

// The path of an installed file relative to the install folder; empty when
// the file is not below it.
std::wstring RelativeToInstallFolder(const std::wstring& path, const std::wstring& installFolder);

// "orv*.accdb" and "orv*.mdb" in any letter case: the application's
// database files, which are backed up before the first package of a run.
bool IsDatabaseFileName(const std::wstring& name);

// "Tarn" + yyyymmdd for attempt 0; later attempts append the attempt number,
// so an earlier run's backup of the same day is never mixed with this one.
std::wstring BackupFolderName(uint16_t year, uint16_t month, uint16_t day, uint32_t attempt);
constexpr uint32_t kBackupFolderAttempts = 1000;

// Whether an updater executable from a package may replace the installed
// one: always, unless both carry a valid version and the incoming one is not
// newer. A missing or unreadable version forbids nothing, because the files
// are known to differ.
bool IncomingUpdaterMayReplace(const std::wstring& incomingVersion, const std::wstring& installedVersion);

// "OrvUpdaterW7-<pid>-<tick>.exe": new for every staging, so a staged copy
// that is still running never blocks the next one.
std::wstring StagedExecutableName(uint32_t processId, uint32_t tick);

// "<pid>-<tick>": makes the names of staged copies unique per run and call.
std::wstring ProcessTickStamp(uint32_t processId, uint32_t tick);
