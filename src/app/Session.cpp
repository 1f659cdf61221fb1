#include "app/Session.h"

#include "install/Reboot.h"
#include "selfupdate/SelfUpdate.h"

namespace orv {

namespace {

// The fields of the command line a hand-over run reads.
HandOverRun HandOverOf(const RunOptions& options)
{
    HandOverRun run;
    run.selfReplace = options.selfReplace;
    run.postSelfUpdate = options.postSelfUpdate;
    run.waitPid = options.waitPid;
    run.source = options.source;
    run.target = options.target;
    run.selfBackup = options.selfBackup;
    run.selfStage = options.selfStage;
    run.installPath = options.installPath;
    run.product = options.product;
    run.restartAfter = options.restartAfter;
    run.pendingReboot = options.pendingReboot;
    run.noLaunch = options.noLaunch;
    return run;
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
