#include "platform/CommandLines.h"

#include "platform/PathText.h"

namespace orv {

namespace {

const wchar_t kElevatedMarker[] = L"/elevated";

std::wstring Tail(const std::wstring& installFolder, const std::wstring& productId, bool restartAfter,
                  bool pendingReboot)
{
    // The product id is a bare word: it goes unquoted.
    std::wstring text = L" /installpath:" + QuoteArgument(installFolder) + L" /product:" + productId;
    if (restartAfter) {
        text += L" /restartafter";
    }
    if (pendingReboot) {
        text += L" /pendingreboot";
    }
    return text;
}

} // namespace

bool HasElevatedMarker(const std::vector<std::wstring>& rawArguments)
{
    for (const std::wstring& argument : rawArguments) {
        if (EqualsNoCase(argument, kElevatedMarker)) {
            return true;
        }
    }
    return false;
}

std::wstring BuildElevatedParameters(const std::vector<std::wstring>& rawArguments)
{
    std::wstring parameters;
    for (const std::wstring& argument : rawArguments) {
        parameters += QuoteArgument(argument) + L" ";
    }
    return parameters + kElevatedMarker;
}

std::wstring BuildRunOnceCommand(const std::wstring& executable, const std::wstring& installFolder,
                                 const std::wstring& productId)
{
    return QuoteArgument(executable) + L" /finishonly /installpath:" + QuoteArgument(installFolder) +
           L" /product:" + productId;
}

std::wstring BuildSelfReplaceParameters(uint32_t waitPid, const std::wstring& staged, const std::wstring& target,
                                        const std::wstring& installFolder, const std::wstring& productId,
                                        bool restartAfter, bool pendingReboot)
{
    return L"/selfreplace /waitpid:" + std::to_wstring(waitPid) + L" /source:" + QuoteArgument(staged) +
           L" /target:" + QuoteArgument(target) + Tail(installFolder, productId, restartAfter, pendingReboot);
}

std::wstring BuildPostSelfUpdateParameters(const std::wstring& backup, const std::wstring& staged,
                                           const std::wstring& installFolder, const std::wstring& productId,
                                           bool restartAfter, bool pendingReboot)
{
    return L"/postselfupdate /finishonly /selfbackup:" + QuoteArgument(backup) + L" /selfstage:" +
           QuoteArgument(staged) + Tail(installFolder, productId, restartAfter, pendingReboot);
}

} // namespace orv
