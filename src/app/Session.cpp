#include "app/Session.h"

#include "app/Elevation.h"
#include "install/Reboot.h"
#include "selfupdate/SelfUpdate.h"

namespace orv {

namespace {

// The fields of the command line a hand-over run reads.
HandOverRun HandOverOf(const RunOptions& o)
{
    return HandOverRun{o.selfReplace,  o.postSelfUpdate, o.waitPid,     o.source,       o.target,
                       o.selfBackup,   o.selfStage,      o.installPath, o.product,      o.restartAfter,
                       o.pendingReboot, o.noLaunch};
}

void RunOrdinary(Session& session)
{
    if (RunManifestPhase(session)) {
        RunPackagePhase(session);
    }
}

} // namespace

Session::Session(const RunOptions& runOptions)
    : options(runOptions), window(runOptions.silent), downloader(log, window)
{
}

int RunSession(const RunOptions& options)
{
    Session session(options);
    // Before anything is written where the command line points.
    if (RefuseUntrustedElevation(session)) {
        return session.exitCode;
    }
    session.log.Open(options.installPath);
    // The self-update hand-over runs ("/postselfupdate", "/selfreplace")
    // come first: they only swap and tidy files, with no window or server.
    int handOverExitCode = 0;
    if (HandleSelfUpdateRun(HandOverOf(options), session.log, handOverExitCode)) {
        return handOverExitCode;
    }
    if (options.selfTest) {
        return RunSelfTest(session.log);
    }
    session.profile = ResolveProductProfile(options.product, options.installPath);
    // A hand-over cut off after its swap left the old executable's backup
    // and the staged copies behind; they go before the pending state is judged.
    TidyFinishedSelfUpdate(options.installPath);
    TidyRebootStage(options.installPath, session.log);
    // A pending state document whose reboot work is done becomes the local
    // state before the finish-only run and every later kind of run reads it.
    PromotePendingManifest(options.installPath, session.log);
    if (options.finishOnly) {
        return RunFinishOnly(options, session.profile, session.log);
    }
    RunOrdinary(session);
    session.window.Close();
    return session.exitCode;
}

} // namespace orv
