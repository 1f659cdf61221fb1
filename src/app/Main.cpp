#include <windows.h>
#include <delayimp.h>

#include <exception>

#include "app/ErrorLog.h"
#include "app/RunOptions.h"
#include "app/Session.h"
#include "app/SingleInstance.h"
#include "app/StartupHook.h"
#include "log/TraceLog.h"
#include "platform/CommandLines.h"
#include "platform/ExitCodes.h"
#include "platform/FileSystem.h"
#include "platform/SystemFolder.h"

namespace orv {
namespace {

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

// The DLLs that are not KnownDLLs are delay-loaded (cmake/DelayLoad.cmake):
// each is loaded on first use, from the system folder.
FARPROC WINAPI LoadDelayedDll(unsigned notification, PDelayLoadInfo info)
{
    if (notification != dliNotePreLoadLibrary) {
        return nullptr;
    }
    return reinterpret_cast<FARPROC>(LoadSystemLibrary(info->szDll));
}

// The runs an updater starts itself: its elevated copy and the two hand-over
// runs of the self-update. They are started while their starter still holds
// the mutex.
bool StartedByAnUpdater(const RunOptions& options)
{
    return options.selfReplace || options.postSelfUpdate || HasElevatedMarker(options.rawArguments);
}

} // namespace
} // namespace orv

// Declared by delayimp.h; this definition takes the place of the runtime's empty one.
PfnDliHook __pfnDliNotifyHook2 = orv::LoadDelayedDll;

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    using namespace orv;
    // Before anything can load a DLL by name.
    RestrictDllSearch();
    // No system error dialog may block an unattended run.
    ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    ::SetUnhandledExceptionFilter(NativeCrashFilter);
    RunOptions options;
    ParseCommandLine(options);

    // The self-test runs beside any updater.
    SingleInstance instance;
    if (StartedByAnUpdater(options)) {
        instance.TakeOver();
    } else if (!options.selfTest && !instance.Claim()) {
        if (!options.silent) {
            ::MessageBoxW(nullptr, L"OrvUpdaterW7 is already running.", kCaption, MB_ICONINFORMATION);
        }
        return kExitDone;
    }
    return RunGuarded(options);
}
