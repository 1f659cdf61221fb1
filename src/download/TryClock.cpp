#include "download/TryClock.h"

namespace orv {

void TryClock::Start(uint64_t limitSeconds)
{
    std::lock_guard<std::mutex> lock(mutex_);
    start_ = Clock::now();
    limitSeconds_ = limitSeconds;
    expired_ = false;
    stopped_ = false;
    handle_ = nullptr;
    close_ = nullptr;
    closedHere_ = false;
}

void TryClock::SetLimit(uint64_t limitSeconds)
{
    std::lock_guard<std::mutex> lock(mutex_);
    // A try already cut off stays cut off.
    if (!expired_) {
        limitSeconds_ = limitSeconds;
    }
}

uint64_t TryClock::LimitSeconds() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return limitSeconds_;
}

bool TryClock::DueLocked() const
{
    const auto elapsed = std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - start_).count();
    return expired_ || static_cast<uint64_t>(elapsed) >= limitSeconds_;
}

bool TryClock::Expired() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return DueLocked();
}

bool TryClock::Watch(void* handle, CloseFunction close)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (DueLocked()) {
        return false;
    }
    handle_ = handle;
    close_ = close;
    closedHere_ = false;
    return true;
}

bool TryClock::Unwatch()
{
    std::lock_guard<std::mutex> lock(mutex_);
    const bool stillOwned = !closedHere_;
    handle_ = nullptr;
    close_ = nullptr;
    closedHere_ = false;
    return stillOwned;
}

void TryClock::Enforce()
{
    void* handle = nullptr;
    CloseFunction close = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!DueLocked()) {
            return;
        }
        expired_ = true;
        if (handle_ == nullptr || closedHere_) {
            return;
        }
        // From here on the handle is ours to close; the worker only lets go.
        closedHere_ = true;
        handle = handle_;
        close = close_;
    }
    // Outside the lock: the worker may ask Expired() while the call it is
    // blocked in winds down.
    close(handle);
}

void TryClock::Stop()
{
    std::lock_guard<std::mutex> lock(mutex_);
    expired_ = true;
    stopped_ = true;
}

bool TryClock::Stopped() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return stopped_;
}

} // namespace orv
