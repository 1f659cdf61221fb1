// Answers the installed-package questions as the running program sees them,
// so tests can run it from inside or outside an install folder and under
// another file name: InventoryProbe <install folder> <package name> <result file>.
// The result file gets "True" or "False", a line feed and the version text.
#include <string>

#include "manifest/Inventory.h"
#include "platform/FileSystem.h"

int wmain(int argc, wchar_t** argv)
{
    if (argc != 4) {
        return 2;
    }
    const bool installed = IsPackageInstalled(argv[2], argv[1]);
    const std::string text =
        std::string(installed ? "True" : "False") + "\n" + WideToUtf8(GetInstalledVersion(argv[2], argv[1]));
    std::wstring error;
    return WriteFileDirect(argv[3], text.data(), text.size(), error) ? 0 : 1;
}
