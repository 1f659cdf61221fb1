// The load-configuration record of the 32-bit executable. The linker cannot
// make one, so the build points the image's directory entry at this record
// after linking (cmake/FinishPe.py), and the delay-import entry at the
// table of delay-loaded DLLs. It tells the system that no code of the
// image handles structured exceptions (there is none: C++ exceptions unwind
// by tables), so an exception record overwritten on the stack can never send
// the system to an address inside the image; and it asks the loaders of
// Windows 10 and later to resolve the image's own imports from the system
// folder only.
#if defined(__i386__)
#include <windows.h>

namespace orv {

// The 32-bit record up to its exception-handler table, as Windows 7 reads it;
// the pointers make the linker emit relocations, so they hold after the
// image is moved.
struct LoadConfig32 {
    DWORD size;
    DWORD timeDateStamp;
    WORD majorVersion;
    WORD minorVersion;
    DWORD globalFlagsClear;
    DWORD globalFlagsSet;
    DWORD criticalSectionDefaultTimeout;
    DWORD deCommitFreeBlockThreshold;
    DWORD deCommitTotalFreeThreshold;
    const void* lockPrefixTable;
    DWORD maximumAllocationSize;
    DWORD virtualMemoryThreshold;
    DWORD processHeapFlags;
    DWORD processAffinityMask;
    WORD csdVersion;
    WORD dependentLoadFlags;
    const void* editList;
    const void* securityCookie;
    const DWORD* exceptionHandlerTable;
    DWORD exceptionHandlerCount;
};
static_assert(sizeof(LoadConfig32) == 0x48, "the record Windows 7 knows");

// No registered handler: the table is there, and empty.
const DWORD kNoExceptionHandlers[1] = {0};

// The delay-load import libraries put their descriptors in ".text$2", one
// after another; this empty one sorts right after them and ends the table
// the image's delay-import directory entry then names.
alignas(4) __attribute__((section(".text$2z"), used)) const unsigned char kDelayImportTableEnd[32] = {};

} // namespace orv

extern "C" __attribute__((used)) const orv::LoadConfig32 _load_config_used = {
    sizeof(orv::LoadConfig32), 0, 0, 0, 0, 0, 0, 0, 0, nullptr, 0, 0, 0, 0, 0,
    LOAD_LIBRARY_SEARCH_SYSTEM32, nullptr, nullptr, orv::kNoExceptionHandlers, 0};
#endif
