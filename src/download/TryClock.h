#pragma once
// The time limit of the download try under way. The worker asks Expired()
// between reads, which cuts off a body that trickles in; the waiting thread
// calls Enforce() as it polls, and once the time is up that also closes the
// handle the worker registered: closing a WinHTTP or WinINet handle is how a
// synchronous call blocked on it is ended from another thread. Pure: no
// Windows headers; handles are opaque here.
#include <chrono>
#include <cstdint>
#include <mutex>

namespace orv {

class TryClock {
public:
    using CloseFunction = void (*)(void* handle);

    // No limit at all, as before the first try.
    static constexpr uint64_t kNoLimit = UINT64_MAX;

    // A new try with this limit; nothing watched.
    void Start(uint64_t limitSeconds);
    // The limit may grow while the try runs (once the server tells a size).
    void SetLimit(uint64_t limitSeconds);
    uint64_t LimitSeconds() const;
    bool Expired() const;

    // Worker: hands over the handle a blocking call waits on. False when
    // the time is already up (the try must fail at once).
    bool Watch(void* handle, CloseFunction close);
    // Worker, before it closes that handle itself: false when the waiting
    // thread closed it already, so the owner must let go of it unclosed.
    bool Unwatch();
    // Waiting thread: when the time is up, marks the try expired and closes
    // the watched handle.
    void Enforce();
    // Waiting thread: the try is no longer wanted. It counts as run out from
    // now on, and the next Enforce() ends the call it waits in.
    void Stop();
    bool Stopped() const;

private:
    using Clock = std::chrono::steady_clock;

    mutable std::mutex mutex_;
    Clock::time_point start_{};
    uint64_t limitSeconds_ = kNoLimit;
    bool expired_ = false;
    bool stopped_ = false;
    void* handle_ = nullptr;
    CloseFunction close_ = nullptr;
    bool closedHere_ = false;

    bool DueLocked() const;
};

// Registers owner's handle with the clock for as long as this object lives;
// declare it right after the owner, so it goes first. When the clock closed
// the handle, the owner lets go of it instead of closing it a second time.
template <typename Owner>
class WatchedHandle {
public:
    WatchedHandle(TryClock& clock, Owner& owner, TryClock::CloseFunction close)
        : clock_(clock), owner_(owner), close_(close), watching_(owner && clock.Watch(owner.Get(), close))
    {
    }
    ~WatchedHandle() { Unwatch(); }
    WatchedHandle(const WatchedHandle&) = delete;
    WatchedHandle& operator=(const WatchedHandle&) = delete;

    // False when the time was up before the handle could be watched.
    bool Watching() const { return watching_; }

    // Gives the owner a fresh handle (the one before goes) and watches it.
    // False when fresh is null or the time is already up.
    bool Reset(typename Owner::Handle fresh)
    {
        Unwatch();
        owner_.Reset(fresh);
        watching_ = owner_ && clock_.Watch(owner_.Get(), close_);
        return watching_;
    }

private:
    void Unwatch()
    {
        if (watching_ && !clock_.Unwatch()) {
            owner_.Release();
        }
        watching_ = false;
    }

    TryClock& clock_;
    Owner& owner_;
    TryClock::CloseFunction close_;
    bool watching_;
};

} // namespace orv
