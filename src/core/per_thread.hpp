// One object per thread, made at its first use and destroyed at the thread's
// exit. It is reached through a plain thread_local pointer: in a shared
// library each use of a thread_local with a destructor costs a few calls to
// find it and its guard, which the smallest conversions feel.
#pragma once

#include <new>

namespace tessarin {

template <typename T>
class PerThread {
public:
    // The thread's object; made when `make` and none is there yet. Null when
    // none was made, when making it failed, or once the thread has destroyed it.
    static T* get(bool make) noexcept {
        Slot& slot = slot_;
        if (slot.object || slot.gone || !make) return slot.object;
        [[maybe_unused]] Owner& owner = owner_;  // its first use registers the clean-up
        slot.object = new (std::nothrow) T();
        return slot.object;
    }

private:
    struct Slot {
        T* object = nullptr;
        bool gone = false;
    };
    struct Owner {
        ~Owner() {
            delete slot_.object;
            slot_.object = nullptr;
            slot_.gone = true;
        }
    };
    static inline constinit thread_local Slot slot_{};
    static inline thread_local Owner owner_;
};

}  // namespace tessarin
