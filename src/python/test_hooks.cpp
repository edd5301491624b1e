// Test builds only (TESSARIN_TEST_HOOKS): a countdown that makes the n-th
// operator new of this shared object fail, so that tests can walk every C++
// allocation of a call. Tests reach it through ctypes; the module itself
// gains no attribute.
//
// The replacements stay inside this shared object: the version script keeps
// operator new local, so pyarrow, libstdc++ and the interpreter keep theirs.
// When not failing they forward to the operator new that this object would
// have bound to without them (a preloaded sanitizer's, else libstdc++'s), so
// every block is still released by the matching operator delete.
#include <dlfcn.h>

#include <atomic>
#include <cstddef>
#include <new>

namespace {

std::atomic<std::size_t> fail_at{0};  // 0: disarmed
std::atomic<std::size_t> seen{0};     // operator new calls since arming

// True when this call is the one to fail. Disarmed, one load and a branch.
bool should_fail() noexcept {
    const std::size_t target = fail_at.load(std::memory_order_relaxed);
    if (target == 0) [[likely]]
        return false;
    return seen.fetch_add(1, std::memory_order_relaxed) + 1 == target;
}

// The definition the dynamic linker would have picked: the global scope
// first, which holds a preloaded sanitizer runtime, then this object's own
// dependencies.
template <class Function>
Function next_definition(const char* symbol) noexcept {
    void* found = dlsym(RTLD_DEFAULT, symbol);
    if (!found) found = dlsym(RTLD_NEXT, symbol);
    return reinterpret_cast<Function>(found);
}

using Plain = void* (*)(std::size_t);
using PlainNothrow = void* (*)(std::size_t, const std::nothrow_t&) noexcept;
using Aligned = void* (*)(std::size_t, std::align_val_t);
using AlignedNothrow = void* (*)(std::size_t, std::align_val_t, const std::nothrow_t&) noexcept;

}  // namespace

void* operator new(std::size_t size) {
    static const Plain real = next_definition<Plain>("_Znwm");
    if (should_fail()) throw std::bad_alloc();
    return real(size);
}

void* operator new[](std::size_t size) {
    static const Plain real = next_definition<Plain>("_Znam");
    if (should_fail()) throw std::bad_alloc();
    return real(size);
}

void* operator new(std::size_t size, const std::nothrow_t& tag) noexcept {
    static const PlainNothrow real = next_definition<PlainNothrow>("_ZnwmRKSt9nothrow_t");
    if (should_fail()) return nullptr;
    return real(size, tag);
}

void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept {
    static const PlainNothrow real = next_definition<PlainNothrow>("_ZnamRKSt9nothrow_t");
    if (should_fail()) return nullptr;
    return real(size, tag);
}

void* operator new(std::size_t size, std::align_val_t alignment) {
    static const Aligned real = next_definition<Aligned>("_ZnwmSt11align_val_t");
    if (should_fail()) throw std::bad_alloc();
    return real(size, alignment);
}

void* operator new[](std::size_t size, std::align_val_t alignment) {
    static const Aligned real = next_definition<Aligned>("_ZnamSt11align_val_t");
    if (should_fail()) throw std::bad_alloc();
    return real(size, alignment);
}

void* operator new(std::size_t size, std::align_val_t alignment, const std::nothrow_t& tag) noexcept {
    static const AlignedNothrow real = next_definition<AlignedNothrow>("_ZnwmSt11align_val_tRKSt9nothrow_t");
    if (should_fail()) return nullptr;
    return real(size, alignment, tag);
}

void* operator new[](std::size_t size, std::align_val_t alignment, const std::nothrow_t& tag) noexcept {
    static const AlignedNothrow real = next_definition<AlignedNothrow>("_ZnamSt11align_val_tRKSt9nothrow_t");
    if (should_fail()) return nullptr;
    return real(size, alignment, tag);
}

extern "C" {

// From now on the n-th operator new of this object fails (once); 0 disarms.
__attribute__((visibility("default"))) void tessarin_test_fail_allocation(std::size_t n) {
    seen.store(0, std::memory_order_relaxed);
    fail_at.store(n, std::memory_order_relaxed);
}

// Calls of operator new since the last arming; a count below n means the
// failure was never reached.
__attribute__((visibility("default"))) std::size_t tessarin_test_allocations(void) {
    return seen.load(std::memory_order_relaxed);
}

}  // extern "C"

#include "core/byte_scan.hpp"

extern "C" {

// Caps the vector width of the byte scans: 0 one byte at a time, 1 sixteen
// bytes, 2 thirty-two (the widest the processor has stays the upper bound).
__attribute__((visibility("default"))) void tessarin_test_limit_vector_width(int width) {
    tessarin::limit_vector_width(static_cast<tessarin::VectorWidth>(width));
}

// The width the scans use now.
__attribute__((visibility("default"))) int tessarin_test_vector_width(void) {
    return static_cast<int>(tessarin::vector_width());
}

}  // extern "C"
