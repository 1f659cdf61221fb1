#pragma once
// The two hand-over runs that replace the updater's own executable.
#include <string>

#include "app/RunOptions.h"

class TraceLog;

// True for a "/postselfupdate" or "/selfreplace" run: the process must end
// with exitCode. False for every other run (exitCode 0).
bool HandleSelfUpdateRun(const RunOptions& options, TraceLog& log, int& exitCode);

// Starts the freshly placed executable with "/postselfupdate /finishonly".
bool LaunchPermanentUpdater(const RunOptions& options, const std::wstring& backupPath, TraceLog& log);
