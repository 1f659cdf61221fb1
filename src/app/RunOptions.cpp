#include "app/RunOptions.h"

#include <cwchar>
#include <cwctype>

#include "platform/CommandLines.h"
#include "platform/PathText.h"

namespace orv {

namespace {

struct FlagSwitch {
    const wchar_t* text;
    bool RunOptions::*field;
    bool alsoSilent;
};

// In the order they are tested.
const FlagSwitch kFlagSwitches[] = {
    {L"/silent", &RunOptions::silent, false},
    {L"-silent", &RunOptions::silent, false},
    {L"/headless", &RunOptions::silent, false},
    {L"/autoinstall", &RunOptions::autoInstall, false},
    {L"-autoinstall", &RunOptions::autoInstall, false},
    {L"/checkonly", &RunOptions::checkOnly, false},
    {L"-checkonly", &RunOptions::checkOnly, false},
    {L"/diagnostics", &RunOptions::diagnostics, false},
    {L"-diagnostics", &RunOptions::diagnostics, false},
    {L"/selftest", &RunOptions::selfTest, false},
    {L"-selftest", &RunOptions::selfTest, false},
    {L"/nolaunch", &RunOptions::noLaunch, false},
    {L"-nolaunch", &RunOptions::noLaunch, false},
    {L"/dryrun", &RunOptions::dryRun, false},
    {L"-dryrun", &RunOptions::dryRun, false},
    {L"/finishonly", &RunOptions::finishOnly, false},
    {L"/pendingreboot", &RunOptions::pendingReboot, false},
    {L"/restartafter", &RunOptions::restartAfter, false},
    // The two hand-over runs of the self-update never show anything.
    {L"/selfreplace", &RunOptions::selfReplace, true},
    {L"/postselfupdate", &RunOptions::postSelfUpdate, true},
};

struct ValueSwitch {
    const wchar_t* prefix;
    std::wstring RunOptions::*field; // null for /waitpid:
};

const ValueSwitch kValueSwitches[] = {
    {L"/installpath:", &RunOptions::installPath},
    {L"-installpath:", &RunOptions::installPath},
    {L"/server:", &RunOptions::serverUrl},
    {L"/serverurl:", &RunOptions::serverUrl},
    {L"/product:", &RunOptions::product},
    {L"/prodid:", &RunOptions::product},
    {L"/manifestfile:", &RunOptions::manifestFile},
    {L"/source:", &RunOptions::source},
    {L"/target:", &RunOptions::target},
    {L"/selfbackup:", &RunOptions::selfBackup},
    {L"/selfstage:", &RunOptions::selfStage},
    {L"/waitpid:", nullptr},
};

bool ApplyFlag(RunOptions& options, const std::wstring& argument)
{
    for (const FlagSwitch& flag : kFlagSwitches) {
        if (EqualsNoCase(argument, flag.text)) {
            options.*flag.field = true;
            if (flag.alsoSilent) {
                options.silent = true;
            }
            return true;
        }
    }
    return false;
}

void ApplyValue(RunOptions& options, const std::wstring& argument)
{
    for (const ValueSwitch& value : kValueSwitches) {
        const std::wstring prefix = value.prefix;
        if (!StartsWithNoCase(argument, prefix)) {
            continue;
        }
        const std::wstring text = TrimWhitespace(argument.substr(prefix.size()));
        if (text.empty()) {
            continue; // an empty value is no match: try the next prefix
        }
        if (value.field != nullptr) {
            options.*value.field = text;
        } else {
            options.waitPid = static_cast<uint32_t>(std::wcstoul(text.c_str(), nullptr, 10));
        }
        return;
    }
}

} // namespace

void ApplyArguments(RunOptions& options, const std::vector<std::wstring>& arguments)
{
    for (const std::wstring& argument : arguments) {
        options.rawArguments.push_back(argument);
        if (!ApplyFlag(options, argument)) {
            ApplyValue(options, argument);
        }
    }
}

std::wstring FindProductFallback(const std::wstring& commandLine)
{
    std::wstring lower = commandLine;
    for (wchar_t& c : lower) {
        c = static_cast<wchar_t>(std::towlower(c));
    }
    const size_t key = lower.find(L"prodid");
    if (key == std::wstring::npos) {
        return std::wstring();
    }
    const size_t colon = lower.find(L':', key);
    if (colon == std::wstring::npos) {
        return std::wstring();
    }
    const size_t digit = lower.find_first_of(L"0123", colon + 1);
    if (digit == std::wstring::npos) {
        return std::wstring();
    }
    return std::wstring(1, lower[digit]);
}

std::wstring ElevatedRunRefusal(const RunOptions& options, const std::wstring& ownFolder, bool manifestsSigned)
{
    if (!HasElevatedMarker(options.rawArguments)) {
        return std::wstring();
    }
    if (!EqualsNoCase(StripTrailingSeparators(options.installPath), StripTrailingSeparators(ownFolder))) {
        return L"An elevated run updates only the updater's own folder (" + ownFolder + L"), not " +
               options.installPath + L".";
    }
    if (!manifestsSigned && (!options.manifestFile.empty() || !options.serverUrl.empty())) {
        return L"An elevated run of a build without a publisher key takes no /manifestfile: or /server:.";
    }
    return std::wstring();
}

} // namespace orv
