// Kept apart from ZipPackage.cpp so that programs which extract without a
// window (tools, tests) do not link the progress window.
#include "ui/ProgressWindow.h"
#include "zip/ZipPackage.h"

bool ExtractZipPackage(const std::wstring& zipPath, const std::wstring& destination, TraceLog& log,
                       ProgressWindow& progress, std::wstring& error)
{
    // A silent window ignores the pump itself.
    const ProgressTick pump = [&progress]() { progress.PumpMessages(); };
    return ExtractZipPackageWithPump(zipPath, destination, log, pump, error);
}
