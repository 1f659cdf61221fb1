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

// One running process: a suite program found by its name, or a program
// that holds a locked file.
struct LockHolder {
    uint32_t pid = 0;
    std::wstring imagePath;
    // False for a process of another logon session, and when that cannot be told.
    bool inThisSession = true;
};

// Whether the updater may stop a process, and why not. Only programs run
// from the install folder in this logon session are ever stopped: another
// user's instance would lose its work without being asked (its windows never
// get our close request), and a program elsewhere that merely shares a
// suite program's name is none of ours.
enum class StopVerdict { Stop, Protected, OtherSession, OutsideInstallFolder };
StopVerdict JudgeProcess(const LockHolder& process, const std::wstring& installFolder);

// The log line of a suite program that is left running; empty when it is stopped.
std::wstring LeftRunningText(StopVerdict verdict, const LockHolder& process);

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
