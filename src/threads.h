// The one place where threads are made: a pool that lives for the run, and a parallel loop over it.
#pragma once

#include <cstdint>

// One item of a parallel loop: `thread` numbers the thread running it, from 0 (the caller).
using PARALLEL_WORKER = void (*)(void* data, uint64_t item, uint32_t thread);

// Runs worker(data, item, thread) for every item below `n_items` on up to `n_threads`
// threads, the calling one among them, and returns when every item is done. Items are
// handed out one at a time in increasing order, so any split into items balances itself.
// With one thread or one item, everything runs on the caller and no thread is woken.
void parallel_for(uint32_t n_threads, uint64_t n_items, PARALLEL_WORKER worker, void* data);

// Number of cores this process may run on (its CPU affinity), at least 1.
uint32_t available_cores();
