// The start-up hook of the test programs: the crash-safety sweep's fault
// points, and triggers that let the scenarios reach the entry's last-resort
// handlers. The shipped program links an empty hook instead.
#include <windows.h>

#include <stdexcept>

#include "app/StartupHook.h"
#include "platform/PathText.h"

namespace orv {

// Counts the disk changes of this process and can end it at one of them.
void ArmFaultPoints();

void RunStartupHook(const std::vector<std::wstring>& arguments)
{
    ArmFaultPoints();
    for (const std::wstring& argument : arguments) {
        if (EqualsNoCase(argument, L"/orvtest:throw")) {
            throw std::runtime_error("Test fault: standard exception \xC3\xA9");
        }
        if (EqualsNoCase(argument, L"/orvtest:throwother")) {
            throw 42;
        }
        if (EqualsNoCase(argument, L"/orvtest:crash")) {
            ::RaiseException(EXCEPTION_ACCESS_VIOLATION, 0, 0, nullptr);
        }
    }
}

} // namespace orv
