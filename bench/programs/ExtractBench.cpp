// Extracts one package the way an update run does and reports how long the
// extraction took and the process's peak working set, for bench/extract.sh.
//   ExtractBench.exe ZIP DESTINATION
// Prints "elapsed_ms=<n> peak_ws_kib=<n> pumps=<n>"; exit code 0 on success,
// 1 with the error text when extraction failed, 2 on bad arguments.
#include <windows.h>
#include <psapi.h>

#include <cstdio>
#include <string>

#include "log/TraceLog.h"
#include "zip/ZipPackage.h"

int wmain(int argc, wchar_t** argv)
{
    if (argc != 3) {
        std::fwprintf(stderr, L"usage: ExtractBench.exe ZIP DESTINATION\n");
        return 2;
    }
    TraceLog log; // no path: the PASS lines are formatted but not written
    unsigned long long pumps = 0;
    // What a silent progress window costs: a call and nothing else.
    const ProgressTick pump = [&pumps]() { ++pumps; };

    LARGE_INTEGER frequency{};
    LARGE_INTEGER start{};
    LARGE_INTEGER end{};
    ::QueryPerformanceFrequency(&frequency);
    ::QueryPerformanceCounter(&start);
    std::wstring error;
    const bool extracted = ExtractZipPackageWithPump(argv[1], argv[2], log, pump, error);
    ::QueryPerformanceCounter(&end);

    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof(counters);
    ::K32GetProcessMemoryInfo(::GetCurrentProcess(), &counters, sizeof(counters));

    const unsigned long long elapsedMs =
        static_cast<unsigned long long>((end.QuadPart - start.QuadPart) * 1000 / frequency.QuadPart);
    std::printf("elapsed_ms=%llu peak_ws_kib=%llu pumps=%llu\n", elapsedMs,
                static_cast<unsigned long long>(counters.PeakWorkingSetSize / 1024), pumps);
    if (!extracted) {
        std::fwprintf(stderr, L"extraction failed: %ls\n", error.c_str());
        return 1;
    }
    return 0;
}
