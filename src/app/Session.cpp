#include "app/Session.h"

#include <windows.h>

#include <stdexcept>

#include "install/Reboot.h"
#include "platform/PathText.h"
#include "selfupdate/SelfUpdate.h"

namespace {

#ifdef ORV_TEST_BUILD
// The test build lets the tests reach the entry's last-resort handlers; the
// shipped program has none of this.
void RaiseTestFault(const RunOptions& options)
{
    for (const std::wstring& argument : options.rawArguments) {
        if (EqualsNoCase(argument, L"/orvtest:throw")) {
            throw std::runtime_error("Test fault: standard exception \xC3\xA9");
        }
        if (EqualsNoCase(argument, L"/orvtest:throwother")) {
            throw 42;
        }
        if (EqualsNoCase(argument, L"/orvtest:crash")) {
            ::RaiseException(EXCEPTION_ACCESS_VIOLATION, 0, 0, nullptr);
        }
    }
}
#endif

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
#ifdef ORV_TEST_BUILD
    RaiseTestFault(options);
#endif
    // The self-update hand-over runs ("/postselfupdate", "/selfreplace")
    // come first: they only swap and tidy files, with no window or server.
    int handOverExitCode = 0;
    if (HandleSelfUpdateRun(options, session.log, handOverExitCode)) {
        return handOverExitCode;
    }
    if (options.selfTest) {
        return RunSelfTest(session.log);
    }
    session.profile = ResolveProductProfile(options);
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
