#pragma once
// The two hand-over runs that replace the updater's own executable.
#include <cstdint>
#include <string>

namespace orv {

class TraceLog;

// What a hand-over run is told on its command line.
struct HandOverRun {
    bool selfReplace = false;    // "/selfreplace": swap the executable
    bool postSelfUpdate = false; // "/postselfupdate": tidy up and finish
    uint32_t waitPid = 0;
    std::wstring source;     // the staged copy
    std::wstring target;     // the installed updater
    std::wstring selfBackup; // the old executable's copy aside
    std::wstring selfStage;  // the staged copy, for the clean-up run
    std::wstring installPath;
    std::wstring product;
    bool restartAfter = false;
    bool pendingReboot = false;
    bool noLaunch = false;
};

// True for a "/postselfupdate" or "/selfreplace" run: the process must end
// with exitCode. False for every other run (exitCode 0).
bool HandleSelfUpdateRun(const HandOverRun& run, TraceLog& log, int& exitCode);

// An ordinary run from the install folder finishes what a cut-off clean-up
// run left: once a staged copy equals the running updater, the swap was
// done, and the old executable's backup, every staged copy and their
// folder go (an emptied folder goes in any case).
void TidyFinishedSelfUpdate(const std::wstring& installFolder);

} // namespace orv
