#include <windows.h>
#include <shellapi.h>

#include "app/RunOptions.h"
#include "platform/FileSystem.h"
#include "platform/Handles.h"

namespace orv {

void ParseCommandLineText(const std::wstring& commandLine, RunOptions& options)
{
    options = RunOptions();
    int count = 0;
    wchar_t** argv = ::CommandLineToArgvW(commandLine.c_str(), &count);
    if (argv != nullptr) {
        UniqueLocalMemory owner(static_cast<HLOCAL>(argv));
        std::vector<std::wstring> arguments;
        for (int i = 1; i < count; ++i) {
            arguments.emplace_back(argv[i]);
        }
        ApplyArguments(options, arguments);
    }
    if (options.product.empty()) {
        options.product = FindProductFallback(commandLine);
    }
    if (options.installPath.empty()) {
        options.installPath = GetModuleDirectory();
    }
    options.installPath = FullPath(options.installPath);
    for (std::wstring* path : {&options.manifestFile, &options.source, &options.target, &options.selfBackup,
                               &options.selfStage}) {
        if (!path->empty()) {
            *path = FullPath(*path);
        }
    }
}

void ParseCommandLine(RunOptions& options)
{
    ParseCommandLineText(::GetCommandLineW(), options);
}

} // namespace orv
