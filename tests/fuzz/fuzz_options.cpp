// Command-line options: the elevated relaunch hands every argument over
// through one command line, and split back it must mean exactly the same.
#include <tuple>

#include "FuzzSupport.h"
#include "app/RunOptions.h"
#include "platform/CommandLines.h"

using namespace orv;

namespace {

// The documented splitting of arguments after the program name: blanks and
// tabs separate outside quotes; 2n backslashes before a quote give n and the
// quote toggles quoting, 2n+1 give n and a literal quote.
std::vector<std::wstring> SplitArguments(const std::wstring& line)
{
    std::vector<std::wstring> out;
    size_t i = 0;
    for (;;) {
        while (i < line.size() && (line[i] == L' ' || line[i] == L'\t')) {
            ++i;
        }
        if (i == line.size()) {
            return out;
        }
        std::wstring argument;
        bool quoted = false;
        size_t slashes = 0;
        for (; i < line.size(); ++i) {
            const wchar_t c = line[i];
            if (c == L'\\') {
                ++slashes;
                continue;
            }
            argument.append(c == L'"' ? slashes / 2 : slashes, L'\\');
            const bool literalQuote = c == L'"' && slashes % 2 == 1;
            slashes = 0;
            if (c == L'"' && !literalQuote) {
                quoted = !quoted;
            } else if (!quoted && (c == L' ' || c == L'\t')) {
                break;
            } else {
                argument.push_back(c);
            }
        }
        argument.append(slashes, L'\\');
        out.push_back(argument);
    }
}

auto Meaning(const RunOptions& o)
{
    return std::tie(o.silent, o.autoInstall, o.checkOnly, o.diagnostics, o.selfTest, o.noLaunch, o.dryRun,
                    o.finishOnly, o.pendingReboot, o.restartAfter, o.installPath, o.serverUrl, o.product,
                    o.manifestFile, o.source, o.target, o.selfBackup, o.selfStage, o.waitPid, o.selfReplace,
                    o.postSelfUpdate);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // No argument can hold a NUL: it separates them here.
    const std::vector<std::wstring> arguments = SplitUnits(Utf16Units(data, size), L'\0');
    RunOptions direct;
    ApplyArguments(direct, arguments);
    std::vector<std::wstring> relaunched = SplitArguments(BuildElevatedParameters(arguments));
    FUZZ_CHECK(HasElevatedMarker(relaunched));
    FUZZ_CHECK(!relaunched.empty() && relaunched.back() == L"/elevated");
    relaunched.pop_back();
    FUZZ_CHECK(relaunched == arguments);
    RunOptions again;
    ApplyArguments(again, relaunched);
    FUZZ_CHECK(Meaning(direct) == Meaning(again));

    std::wstring commandLine;
    for (const std::wstring& argument : arguments) {
        commandLine += argument + L" ";
    }
    const std::wstring product = FindProductFallback(commandLine);
    FUZZ_CHECK(product.empty() || (product.size() == 1 && product[0] >= L'0' && product[0] <= L'3'));
    return 0;
}
