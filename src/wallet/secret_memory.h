// What keeps a wallet's secrets from outliving their use in this process. While a wallet
// runs, every heap block is wiped when it is freed (strings, JSON values and buffers of the
// standard library and the JSON library alike, so no copy of a passphrase, a word or a key
// goes back to the allocator readable), the process cannot dump core and other users cannot
// read it, and its memory is locked where the limits allow. The wallet UI calls `protect`
// once, on the main thread, before it touches a secret, and `scrub_stack` after each key;
// the light client's note scan starts its threads with `run_threads`.
#pragma once

#include <cstddef>
#include <functional>

namespace secmem {

// Turns on the wiping of freed heap blocks for the rest of the process, makes the process
// not dumpable with a core size limit of 0, and locks its memory when the limit on locked
// memory is (or can be made) unlimited; a failure to lock is ignored. Safe to call again.
void protect();

// True once `protect` has turned on the wiping of freed heap blocks.
bool wiping();

// Bytes of stack below the caller that `scrub_stack` clears.
inline constexpr size_t kScrubBytes = size_t{256} << 10;

// Clears `kScrubBytes` of the calling thread's stack below the caller's frame, where the
// frames of returned calls leave copies of what they held.
void scrub_stack();

// Runs `body` on `extra` threads and on the calling thread, and returns when all have
// ended. Each extra thread runs on a stack of its own that is wiped and unmapped once the
// thread has ended, with its frames, the registers it saved there and its thread block; a
// stack kept by the thread library for the next thread would keep them all. A thread that
// cannot be started is left out (the calling thread always runs `body`). When a body
// throws, on any thread, all threads are still joined and their stacks wiped; then the
// first exception is thrown again on the calling thread.
void run_threads(unsigned extra, const std::function<void()>& body);

}  // namespace secmem
