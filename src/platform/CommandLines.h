#pragma once
// Every command line the updater builds for the programs it starts itself:
// its elevated copy, the RunOnce entry, and the two hand-over runs of the
// self-update. Pure text rules: no Windows headers.
#include <cstdint>
#include <string>
#include <vector>

namespace orv {

// True when one of the raw arguments is the "/elevated" marker (any case).
bool HasElevatedMarker(const std::vector<std::wstring>& rawArguments);

// Every raw argument quoted, in order, separated by blanks, then "/elevated".
std::wstring BuildElevatedParameters(const std::vector<std::wstring>& rawArguments);

// The RunOnce value data: the quoted executable, "/finishonly", the quoted
// install folder and the product id (unquoted).
std::wstring BuildRunOnceCommand(const std::wstring& executable, const std::wstring& installFolder,
                                 const std::wstring& productId);

// Parameters of the staged copy that replaces the installed updater.
std::wstring BuildSelfReplaceParameters(uint32_t waitPid, const std::wstring& staged, const std::wstring& target,
                                        const std::wstring& installFolder, const std::wstring& productId,
                                        bool restartAfter, bool pendingReboot);

// Parameters of the new updater once it is in place.
std::wstring BuildPostSelfUpdateParameters(const std::wstring& backup, const std::wstring& staged,
                                           const std::wstring& installFolder, const std::wstring& productId,
                                           bool restartAfter, bool pendingReboot);

} // namespace orv
