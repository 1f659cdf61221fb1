#pragma once
// The parsed command line that steers every run. Interpretation of the
// argument list is pure (no Windows headers); ParseCommandLine adds the
// splitting and the path normalisation.
#include <cstdint>
#include <string>
#include <vector>

namespace orv {

struct RunOptions {
    bool silent = false;
    bool autoInstall = false;
    bool checkOnly = false;
    bool diagnostics = false;
    bool selfTest = false;
    bool noLaunch = false;
    bool dryRun = false;
    bool finishOnly = false;
    bool pendingReboot = false;
    bool restartAfter = false;
    std::wstring installPath;
    std::wstring serverUrl;
    std::wstring product;
    std::wstring manifestFile;
    std::wstring source;
    std::wstring target;
    std::wstring selfBackup;
    std::wstring selfStage;
    uint32_t waitPid = 0;
    bool selfReplace = false;
    bool postSelfUpdate = false;
    std::vector<std::wstring> rawArguments;
};

// Examines the arguments after the program name, in order: flag switches
// first, then value switches; anything else is kept only in rawArguments.
void ApplyArguments(RunOptions& options, const std::vector<std::wstring>& arguments);

// The product id a command line carries as "prodid", then ":", then a digit
// 0-3 somewhere after it; empty when there is none. Tolerates blanks that
// split the switch into several arguments.
std::wstring FindProductFallback(const std::wstring& commandLine);

// Why an elevated run ("/elevated" among the arguments) must not go on, or
// empty when it may. Whoever got one elevation prompt approved must not
// choose what the elevated run installs and where: it updates only the
// folder of its own executable (ownFolder), and takes a manifest file or
// server from its command line only when manifests must be signed.
std::wstring ElevatedRunRefusal(const RunOptions& options, const std::wstring& ownFolder, bool manifestsSigned);

// Reads GetCommandLineW into options.
void ParseCommandLine(RunOptions& options);
// The same from a given command-line text (the first argument is the program).
void ParseCommandLineText(const std::wstring& commandLine, RunOptions& options);

} // namespace orv
