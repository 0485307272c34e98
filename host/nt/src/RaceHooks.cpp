// The hooks a driver image built with the compiler's thread-sanitizer
// instrumentation calls, here in place of the sanitizer's runtime: plain
// accesses of 1 to 16 bytes (aligned, unaligned and volatile) and ranges go
// to the race detector; atomic operations are carried out here, then told to
// it; function entries and exits keep each thread's shadow call stack.
// Accesses to the calling thread's own stack are dropped before anything
// else. Never compiled with the instrumentation itself, and not in the
// ThreadSanitizer build, whose runtime defines these names.
#include <pthread.h>

#include <cstddef>
#include <cstdint>
#include <optional>

#include "Kernel.h"
#include "ThreadState.h"

namespace {

using emu::detail::K;
using emu::detail::Self;

// The calling thread's stack, found once per thread.
struct StackBounds {
    std::uintptr_t low = 0;
    std::uintptr_t high = 0;
    StackBounds()
    {
        pthread_attr_t attributes;
        if (pthread_getattr_np(pthread_self(), &attributes) != 0) return;
        void* base = nullptr;
        std::size_t size = 0;
        if (pthread_attr_getstack(&attributes, &base, &size) == 0) {
            low = reinterpret_cast<std::uintptr_t>(base);
            high = low + size;
        }
        pthread_attr_destroy(&attributes);
    }
};

bool OnOwnStack(const void* address)
{
    thread_local const StackBounds bounds;
    auto at = reinterpret_cast<std::uintptr_t>(address);
    return at >= bounds.low && at < bounds.high;
}

void Plain(const void* address, std::size_t size, bool write, void* site)
{
    if (OnOwnStack(address) || !emu::System::Exists()) return;
    auto& races = K().races;
    races.Counted();
    races.PlainAccess(address, size, write, site);
}

void Atomic(const volatile void* address, std::size_t size, bool write, void* site,
            std::optional<std::pair<std::uint64_t, std::uint64_t>> exchanged = std::nullopt)
{
    if (!emu::System::Exists()) return;
    K().races.AtomicAccess(const_cast<const void*>(address), size, write, site, exchanged);
}

template <typename T>
std::optional<std::pair<std::uint64_t, std::uint64_t>> Exchanged(T before, T after)
{
    if constexpr (sizeof(T) == sizeof(void*)) {
        return std::pair{static_cast<std::uint64_t>(before), static_cast<std::uint64_t>(after)};
    } else {
        return std::nullopt;
    }
}

}  // namespace

#define SITE __builtin_return_address(0)

extern "C" {

// Called by every translation unit of the image as it is loaded, which
// happens inside a running system.
void __tsan_init()
{
    if (emu::System::Exists()) K().races.InstrumentedImage();
}

void __tsan_func_entry(void* caller) { Self().race.calls.push_back(caller); }

void __tsan_func_exit()
{
    auto& calls = Self().race.calls;
    if (!calls.empty()) calls.pop_back();
}

#define TESMO_PLAIN_HOOKS(bytes)                                                                      \
    void __tsan_read##bytes(void* address) { Plain(address, bytes, false, SITE); }                    \
    void __tsan_write##bytes(void* address) { Plain(address, bytes, true, SITE); }                    \
    void __tsan_unaligned_read##bytes(void* address) { Plain(address, bytes, false, SITE); }          \
    void __tsan_unaligned_write##bytes(void* address) { Plain(address, bytes, true, SITE); }          \
    void __tsan_volatile_read##bytes(void* address) { Plain(address, bytes, false, SITE); }           \
    void __tsan_volatile_write##bytes(void* address) { Plain(address, bytes, true, SITE); }           \
    void __tsan_unaligned_volatile_read##bytes(void* address) { Plain(address, bytes, false, SITE); } \
    void __tsan_unaligned_volatile_write##bytes(void* address) { Plain(address, bytes, true, SITE); }

TESMO_PLAIN_HOOKS(1)
TESMO_PLAIN_HOOKS(2)
TESMO_PLAIN_HOOKS(4)
TESMO_PLAIN_HOOKS(8)
TESMO_PLAIN_HOOKS(16)

void __tsan_read_range(void* address, unsigned long size) { Plain(address, size, false, SITE); }
void __tsan_write_range(void* address, unsigned long size) { Plain(address, size, true, SITE); }

// The atomic operations, each carried out here (sequentially consistent,
// whatever order was asked for: never weaker than the code expects). The
// macro's argument is a type, which declarations cannot take in parentheses.
// NOLINTBEGIN(bugprone-macro-parentheses)
#define TESMO_ATOMIC_HOOKS(bits, type)                                                                                 \
    type __tsan_atomic##bits##_load(const volatile type* address, int)                                                 \
    {                                                                                                                  \
        Atomic(address, sizeof(type), false, SITE);                                                                    \
        return __atomic_load_n(address, __ATOMIC_SEQ_CST);                                                             \
    }                                                                                                                  \
    void __tsan_atomic##bits##_store(volatile type* address, type value, int)                                          \
    {                                                                                                                  \
        __atomic_store_n(address, value, __ATOMIC_SEQ_CST);                                                            \
        Atomic(address, sizeof(type), true, SITE);                                                                     \
    }                                                                                                                  \
    type __tsan_atomic##bits##_exchange(volatile type* address, type value, int)                                       \
    {                                                                                                                  \
        type before = __atomic_exchange_n(address, value, __ATOMIC_SEQ_CST);                                           \
        Atomic(address, sizeof(type), true, SITE, Exchanged(before, value));                                           \
        return before;                                                                                                 \
    }                                                                                                                  \
    type __tsan_atomic##bits##_fetch_add(volatile type* address, type value, int)                                      \
    {                                                                                                                  \
        Atomic(address, sizeof(type), true, SITE);                                                                     \
        return __atomic_fetch_add(address, value, __ATOMIC_SEQ_CST);                                                   \
    }                                                                                                                  \
    type __tsan_atomic##bits##_fetch_sub(volatile type* address, type value, int)                                      \
    {                                                                                                                  \
        Atomic(address, sizeof(type), true, SITE);                                                                     \
        return __atomic_fetch_sub(address, value, __ATOMIC_SEQ_CST);                                                   \
    }                                                                                                                  \
    type __tsan_atomic##bits##_fetch_and(volatile type* address, type value, int)                                      \
    {                                                                                                                  \
        Atomic(address, sizeof(type), true, SITE);                                                                     \
        return __atomic_fetch_and(address, value, __ATOMIC_SEQ_CST);                                                   \
    }                                                                                                                  \
    type __tsan_atomic##bits##_fetch_or(volatile type* address, type value, int)                                       \
    {                                                                                                                  \
        Atomic(address, sizeof(type), true, SITE);                                                                     \
        return __atomic_fetch_or(address, value, __ATOMIC_SEQ_CST);                                                    \
    }                                                                                                                  \
    type __tsan_atomic##bits##_fetch_xor(volatile type* address, type value, int)                                      \
    {                                                                                                                  \
        Atomic(address, sizeof(type), true, SITE);                                                                     \
        return __atomic_fetch_xor(address, value, __ATOMIC_SEQ_CST);                                                   \
    }                                                                                                                  \
    type __tsan_atomic##bits##_fetch_nand(volatile type* address, type value, int)                                     \
    {                                                                                                                  \
        Atomic(address, sizeof(type), true, SITE);                                                                     \
        return __atomic_fetch_nand(address, value, __ATOMIC_SEQ_CST);                                                  \
    }                                                                                                                  \
    int __tsan_atomic##bits##_compare_exchange_strong(volatile type* address, type* expected, type value, int, int)    \
    {                                                                                                                  \
        type before = *expected;                                                                                       \
        bool swapped =                                                                                                 \
            __atomic_compare_exchange_n(address, expected, value, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);          \
        Atomic(address, sizeof(type), swapped, SITE, swapped ? Exchanged(before, value) : std::nullopt);               \
        return swapped;                                                                                                \
    }                                                                                                                  \
    int __tsan_atomic##bits##_compare_exchange_weak(volatile type* address, type* expected, type value, int,           \
                                                    int order)                                                         \
    {                                                                                                                  \
        return __tsan_atomic##bits##_compare_exchange_strong(address, expected, value, order, order);                  \
    }                                                                                                                  \
    type __tsan_atomic##bits##_compare_exchange_val(volatile type* address, type expected, type value, int, int order) \
    {                                                                                                                  \
        __tsan_atomic##bits##_compare_exchange_strong(address, &expected, value, order, order);                        \
        return expected;                                                                                               \
    }

TESMO_ATOMIC_HOOKS(8, std::int8_t)
TESMO_ATOMIC_HOOKS(16, std::int16_t)
TESMO_ATOMIC_HOOKS(32, std::int32_t)
TESMO_ATOMIC_HOOKS(64, std::int64_t)
// NOLINTEND(bugprone-macro-parentheses)

void __tsan_atomic_thread_fence(int) { __atomic_thread_fence(__ATOMIC_SEQ_CST); }
void __tsan_atomic_signal_fence(int) { __atomic_signal_fence(__ATOMIC_SEQ_CST); }

}  // extern "C"
