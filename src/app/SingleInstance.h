#pragma once
// The single-instance mutex of a logon session: one ordinary updater at a
// time, while the runs an updater starts itself (its elevated copy and the
// two hand-over runs) take over from the one that started them.
#include "platform/Handles.h"

namespace orv {

class SingleInstance {
public:
    SingleInstance() = default;
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;
    ~SingleInstance();

    // An ordinary run: false when another updater holds the mutex, also when
    // it cannot be opened at all (an elevated updater's, say).
    bool Claim();

    // A run another updater started while holding the mutex: waits up to
    // 10 s for it to let go, then runs in any case, so a process that holds
    // the name for good cannot silence it.
    void TakeOver();

private:
    UniqueHandle mutex_;
    bool owned_ = false;
};

} // namespace orv
