// The second phase of an ordinary run: the selected packages.
#include "app/Session.h"
#include "platform/FileSystem.h"
#include "platform/Launch.h"

namespace {

constexpr int kQuestionDefaultNo = 1;
constexpr int kAnswerYes = 6;

void FinishUpToDate(Session& s)
{
    std::wstring error;
    if (!WriteStateFile(StateFilePath(s.options.installPath), s.localPackages, error)) {
        s.log.Warn(L"Local manifest sync failed | " + error);
    }
    s.window.SetOverallProgress(1, 1);
    s.window.ShowInfo(s.profile.name + L" is already up to date.");
    if (!s.options.noLaunch) {
        LaunchMainApplication(s.options.installPath, s.profile, s.log);
    }
    s.window.Close();
    s.exitCode = 0;
}

bool UserAgreesToInstall(Session& s)
{
    if (s.options.autoInstall) {
        return true;
    }
    const std::wstring text = std::to_wstring(s.requiredPackages.size()) +
                              L" update package(s) are available for " + s.profile.name +
                              L".\r\n\r\nInstall them now?";
    if (s.window.AskYesNo(text, L"ORV Update Available", kQuestionDefaultNo) == kAnswerYes) {
        return true;
    }
    s.log.Info(L"User postponed update installation.");
    s.window.Close();
    s.exitCode = 0;
    return false;
}

} // namespace

void RunPackagePhase(Session& s)
{
    if (s.requiredPackages.empty()) {
        FinishUpToDate(s);
        return;
    }
    if (!UserAgreesToInstall(s)) {
        return;
    }
    // Installing packages is not part of this build yet: say so rather than
    // pretend, and leave every selected package pending for a later run.
    s.log.Warn(L"Package installation is not available in this build | Pending=" +
               std::to_wstring(s.requiredPackages.size()));
    s.window.Close();
    s.exitCode = 0;
}
