#pragma once
// Stopping the suite's programs and the programs that hold a file open.
#include <cstdint>
#include <string>
#include <vector>

#include "install/ProcessRules.h"

class TraceLog;
class ProgressWindow;

// Closes every top-level window of the process politely, waits 2.5 s, then
// terminates it. Protected programs and this process are never touched.
void StopProcess(uint32_t pid, TraceLog& log, ProgressWindow& progress);

// The full image path of a process, empty when it cannot be read.
std::wstring GetProcessImagePath(uint32_t pid);

// The processes the Restart Manager names as holders of the file, each with
// its image path (empty when unreadable). Empty when nobody holds the file
// or the Restart Manager cannot be asked.
std::vector<LockHolder> FindLockHolders(const std::wstring& file);
