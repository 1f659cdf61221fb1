#include <windows.h>

#include "app/RunOptions.h"
#include "log/TraceLog.h"

// The update session is not part of this build yet: the program reads its
// command line, records the start in the trace log and ends.
int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    // No system error dialog may block an unattended run.
    ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    RunOptions options;
    ParseCommandLine(options);
    TraceLog log;
    log.Open(options.installPath);
    return 0;
}
