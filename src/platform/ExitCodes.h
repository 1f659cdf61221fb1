#pragma once

namespace orv {

// Every exit code the updater ends with, in one place: scripts and the IT
// staff's tools read them, so none may change by accident.

// Ordinary runs.
constexpr int kExitDone = 0;               // done, up to date, postponed or handed over
constexpr int kExitNoManifest = 10;        // no server delivered a valid manifest
constexpr int kExitElevatedRunRefused = 11; // an elevated run refused what its command line asked
constexpr int kExitPending = 20;           // something stays pending for the next run
constexpr int kExitRebootPending = 21;     // the finish-only run found reboot work not done

// The replacement run of the self-update.
constexpr int kExitSelfReplaceIncomplete = 31; // its command is incomplete or the staged copy is gone
constexpr int kExitSelfReplaceCopy = 32;       // the new copy could not be made beside the target
constexpr int kExitSelfReplaceBackup = 33;     // the old executable could not be copied aside
constexpr int kExitSelfReplaceMoveIn = 34;     // the new executable could not be moved in
constexpr int kExitSelfReplaceStart = 35;      // the new executable could not be started

// What escaped the session.
constexpr int kExitStdException = 90;
constexpr int kExitUnknownException = 91;

// The self-test: the first failed check's number, counted from this code.
constexpr int kExitSelfTestFirst = 101;

} // namespace orv
