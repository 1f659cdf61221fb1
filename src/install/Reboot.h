#pragma once
// Files that can only be replaced at the next Windows start, and the work
// that completes them afterwards.
#include <string>

namespace orv {

class TraceLog;
struct ProductProfile;

// Process id and tick count, "pid-tick", both decimal.
std::wstring MakeProcessTickStamp();

// Removes the copies in the reboot stage folder that Windows will never
// move, and with them the pending state that counted on them, then the
// folder once it is empty.
void TidyRebootStage(const std::wstring& installFolder, TraceLog& log);

// Moves "pending-updater-w7.xml" over "updater-w7.xml" once the reboot
// stage folder is empty.
void PromotePendingManifest(const std::wstring& installFolder, TraceLog& log);

// HKCU RunOnce "OrvUpdaterW7Finish": the updater with "/finishonly" at the
// user's next logon.
void RegisterRunOnce(const std::wstring& installFolder, const ProductProfile& profile, TraceLog& log);

// Restarts Windows in 10 seconds through the system's shutdown command.
void RequestRestart(TraceLog& log);

} // namespace orv
