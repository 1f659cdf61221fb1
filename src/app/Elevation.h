#pragma once
// The writability test of the install folder and the one elevated relaunch
// it may lead to.
#include "app/RunOptions.h"

namespace orv {

class TraceLog;
struct Session;

// An elevated run whose command line it cannot trust (see
// ElevatedRunRefusal), or whose own folder is reached through a link that
// could be pointed elsewhere meanwhile, writes one FAIL line to the log of
// the temporary folder, shows an error box and ends: true then, with the
// session's exit code set. Nothing is written where the command line points.
bool RefuseUntrustedElevation(Session& session);

// Proves the install folder takes new files. When it does not, starts an
// elevated copy of this program (unless this run already is one) and
// returns false: the current process must end.
bool EnsureInstallFolderWritable(const RunOptions& options, TraceLog& log);

} // namespace orv
