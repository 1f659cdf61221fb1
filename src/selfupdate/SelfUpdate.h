#pragma once
// The two hand-over runs that replace the updater's own executable.
#include <string>

#include "app/RunOptions.h"

class TraceLog;

extern const wchar_t kSelfUpdateStageFolderName[]; // ".orvupdaterw7-selfupdate"

// True for a "/postselfupdate" or "/selfreplace" run: the process must end
// with exitCode. False for every other run (exitCode 0).
bool HandleSelfUpdateRun(const RunOptions& options, TraceLog& log, int& exitCode);

// An ordinary run from the install folder finishes what a cut-off clean-up
// run left: once a staged copy equals the running updater, the swap was
// done, and the old executable's backup, every staged copy and their
// folder go (an emptied folder goes in any case).
void TidyFinishedSelfUpdate(const std::wstring& installFolder);

// Starts the freshly placed executable with "/postselfupdate /finishonly".
bool LaunchPermanentUpdater(const RunOptions& options, const std::wstring& backupPath, TraceLog& log);
