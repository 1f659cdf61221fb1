#pragma once
// The writability test of the install folder and the one elevated relaunch
// it may lead to.
#include "app/RunOptions.h"

namespace orv {

class TraceLog;

// Proves the install folder takes new files. When it does not, starts an
// elevated copy of this program (unless this run already is one) and
// returns false: the current process must end.
bool EnsureInstallFolderWritable(const RunOptions& options, TraceLog& log);

} // namespace orv
