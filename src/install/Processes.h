#pragma once
// Stopping the suite's programs and the programs that hold a file open. The
// rules of which programs may be stopped (Processes.cpp) are pure and also
// build natively; finding and stopping them is ProcessesWin.cpp.
#include <cstdint>
#include <string>
#include <vector>

namespace orv {

class TraceLog;
class ProgressWindow;

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

// Closes every top-level window of the process politely, waits 2.5 s, then
// terminates it. Protected programs and this process are never touched.
void StopProcess(uint32_t pid, TraceLog& log, ProgressWindow& progress);

// The full image path of a process, empty when it cannot be read.
std::wstring GetProcessImagePath(uint32_t pid);

// The processes the Restart Manager names as holders of the file, each with
// its image path (empty when unreadable). Empty when nobody holds the file
// or the Restart Manager cannot be asked.
std::vector<LockHolder> FindLockHolders(const std::wstring& file);

} // namespace orv
