#include "app/SingleInstance.h"

#include <windows.h>
#include <sddl.h>

namespace orv {

namespace {

const wchar_t kMutexName[] = L"Local\\Varnel-OrvUpdaterW7-SingleInstance";

// Waiting and releasing is all any updater asks of the mutex. Every process
// of the session may do that, whatever its account or elevation: by default
// an elevated updater's mutex could not be opened by an unelevated one,
// which would then run beside it.
const wchar_t kMutexSecurity[] = L"D:(A;;0x100001;;;WD)";
constexpr DWORD kMutexAccess = SYNCHRONIZE | MUTEX_MODIFY_STATE;

constexpr DWORD kTakeOverWaitMs = 10000;

HANDLE CreateSharedMutex(bool initialOwner)
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ::ConvertStringSecurityDescriptorToSecurityDescriptorW(kMutexSecurity, SDDL_REVISION_1, &descriptor, nullptr);
    UniqueLocalMemory owner(descriptor);
    SECURITY_ATTRIBUTES attributes{sizeof(attributes), descriptor, FALSE};
    return ::CreateMutexExW(descriptor != nullptr ? &attributes : nullptr, kMutexName,
                            initialOwner ? CREATE_MUTEX_INITIAL_OWNER : 0, kMutexAccess);
}

} // namespace

SingleInstance::~SingleInstance()
{
    if (owned_) {
        ::ReleaseMutex(mutex_.Get());
    }
}

bool SingleInstance::Claim()
{
    mutex_.Reset(CreateSharedMutex(true));
    const DWORD error = ::GetLastError();
    if (!mutex_) {
        // Refused means it exists; any other failure leaves the run unguarded.
        return error != ERROR_ACCESS_DENIED;
    }
    owned_ = error != ERROR_ALREADY_EXISTS;
    return owned_;
}

void SingleInstance::TakeOver()
{
    mutex_.Reset(CreateSharedMutex(false));
    if (mutex_) {
        const DWORD waited = ::WaitForSingleObject(mutex_.Get(), kTakeOverWaitMs);
        // An updater that ended without letting go (killed, say) leaves it
        // abandoned, and ours.
        owned_ = waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED;
    }
}

} // namespace orv
