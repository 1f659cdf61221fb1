// The run the RunOnce entry starts at the first logon after a reboot.
#include "app/Session.h"
#include "install/Reboot.h"
#include "platform/FileSystem.h"
#include "install/MainApplication.h"
#include "platform/InstallLayout.h"
#include "platform/ExitCodes.h"

namespace orv {

int RunFinishOnly(const RunOptions& options, const ProductProfile& profile, TraceLog& log)
{
    // Any entry left in the stage folder is a replacement the reboot did not
    // perform; the application must not start on half-replaced files.
    if (DirectoryHasEntries(RebootStageFolderPath(options.installPath))) {
        log.Warn(L"Finish-only run found pending reboot files; main application was not launched.");
        return kExitRebootPending;
    }
    if (!options.noLaunch) {
        LaunchMainApplication(options.installPath, profile, log);
    }
    return kExitDone;
}

} // namespace orv
