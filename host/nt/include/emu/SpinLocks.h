// Inspection of a spin lock for tests: how many threads are spinning on it
// right now, waiting for its holder to release it. A test that holds a lock
// itself can so wait until a driver's thread stands at the lock, and then
// check what that thread has not done yet.
//
// Any thread; takes a lock of its own briefly.
#pragma once

#include <cstddef>

namespace emu {

std::size_t SpinLockWaiters(const void* lock);

}  // namespace emu
