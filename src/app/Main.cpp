#include <windows.h>

#include <exception>

#include "app/ErrorLog.h"
#include "app/RunOptions.h"
#include "app/Session.h"
#include "app/StartupHook.h"
#include "log/TraceLog.h"
#include "platform/ExitCodes.h"
#include "platform/FileSystem.h"
#include "platform/Handles.h"

namespace orv {
namespace {

const wchar_t kMutexName[] = L"Local\\Varnel-OrvUpdaterW7-SingleInstance";
const wchar_t kCaption[] = L"OrvUpdaterW7";
const wchar_t kErrorCaption[] = L"OrvUpdaterW7 - Application Error";

void ShowFatal(const RunOptions& options, const std::wstring& message)
{
    if (!options.silent) {
        ::MessageBoxW(nullptr, message.c_str(), kErrorCaption, MB_ICONERROR);
    }
}

// The outermost catch: whatever escapes the session is recorded where it
// can still be found and becomes an exit code.
int RunGuarded(const RunOptions& options)
{
    try {
        RunStartupHook(options.rawArguments);
        return RunSession(options);
    } catch (const std::exception& error) {
        const std::wstring message = L"Unhandled C++ exception | " + Utf8ToWide(std::string(error.what()));
        WriteErrorLog(message);
        TraceLog log;
        log.Open(options.installPath);
        log.FailException(L"Global handler", error);
        ShowFatal(options, message);
        return kExitStdException;
    } catch (...) {
        const std::wstring message = L"Unhandled unknown exception.";
        WriteErrorLog(message);
        ShowFatal(options, message);
        return kExitUnknownException;
    }
}

// The self-test and the two hand-over runs of the self-update must run while
// another updater still exists.
bool UsesSingleInstance(const RunOptions& options)
{
    return !options.selfTest && !options.selfReplace && !options.postSelfUpdate;
}

} // namespace
} // namespace orv

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    using namespace orv;
    // No system error dialog may block an unattended run.
    ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    ::SetUnhandledExceptionFilter(NativeCrashFilter);
    RunOptions options;
    ParseCommandLine(options);

    UniqueHandle mutex;
    if (UsesSingleInstance(options)) {
        mutex.Reset(::CreateMutexW(nullptr, TRUE, kMutexName));
        const DWORD created = ::GetLastError();
        if (mutex && created == ERROR_ALREADY_EXISTS) {
            if (!options.silent) {
                ::MessageBoxW(nullptr, L"OrvUpdaterW7 is already running.", kCaption, MB_ICONINFORMATION);
            }
            return kExitDone;
        }
    }
    const int exitCode = RunGuarded(options);
    if (mutex) {
        ::ReleaseMutex(mutex.Get());
    }
    return exitCode;
}
