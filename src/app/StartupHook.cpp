#include "app/StartupHook.h"

namespace orv {

void RunStartupHook(const std::vector<std::wstring>&)
{
}

} // namespace orv
