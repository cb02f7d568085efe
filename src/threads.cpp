#include "threads.h"

#include <sched.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

// The loop at hand, as every thread of the pool sees it.
struct Job {
  PARALLEL_WORKER worker = nullptr;
  void* data = nullptr;
  uint64_t n_items = 0;
  std::atomic<uint64_t> next{0};
};

// Threads that sleep between loops: waking them costs microseconds, creating them more.
struct Pool {
  std::vector<std::thread> threads;
  std::mutex lock;
  std::condition_variable wake;  // a new loop, or the end
  std::condition_variable done;  // the last helper left the loop
  uint64_t generation = 0;       // counts the loops started
  uint32_t helpers = 0;          // how many pool threads take part in the current loop
  uint32_t busy = 0;             // of those, how many are still in it
  bool stopping = false;
  Job job;

  ~Pool() {
    {
      std::lock_guard<std::mutex> guard(lock);
      stopping = true;
    }
    wake.notify_all();
    for (std::thread& t : threads) t.join();
  }
};

static Pool POOL;

static void run_items(Job* job, uint32_t thread) {
  for (;;) {
    uint64_t item = job->next.fetch_add(1, std::memory_order_relaxed);
    if (item >= job->n_items) return;
    job->worker(job->data, item, thread);
  }
}

static void pool_thread(uint32_t thread) {
  uint64_t seen = 0;
  for (;;) {
    {
      std::unique_lock<std::mutex> guard(POOL.lock);
      POOL.wake.wait(guard, [&] { return POOL.stopping || POOL.generation != seen; });
      if (POOL.stopping) return;
      seen = POOL.generation;
      // Threads beyond what this loop asked for sit it out.
      if (thread > POOL.helpers) continue;
    }
    run_items(&POOL.job, thread);
    std::lock_guard<std::mutex> guard(POOL.lock);
    if (--POOL.busy == 0) POOL.done.notify_one();
  }
}

// Grows the pool to `wanted` threads besides the caller; returns how many it has. A
// thread the system refuses only means fewer threads: the results are the same.
static uint32_t grow_pool(uint32_t wanted) {
  while (POOL.threads.size() < wanted) {
    try {
      POOL.threads.emplace_back(pool_thread, static_cast<uint32_t>(POOL.threads.size() + 1));
    } catch (const std::system_error&) {
      break;
    }
  }
  return static_cast<uint32_t>(POOL.threads.size());
}

void parallel_for(uint32_t n_threads, uint64_t n_items, PARALLEL_WORKER worker, void* data) {
  uint64_t wanted = n_threads < n_items ? n_threads : n_items;
  if (wanted <= 1) {
    for (uint64_t item = 0; item < n_items; ++item) worker(data, item, 0);
    return;
  }
  uint32_t helpers = grow_pool(static_cast<uint32_t>(wanted - 1));
  if (helpers > wanted - 1) helpers = static_cast<uint32_t>(wanted - 1);
  {
    std::lock_guard<std::mutex> guard(POOL.lock);
    POOL.job.worker = worker;
    POOL.job.data = data;
    POOL.job.n_items = n_items;
    POOL.job.next.store(0, std::memory_order_relaxed);
    POOL.helpers = helpers;
    POOL.busy = helpers;
    ++POOL.generation;
  }
  POOL.wake.notify_all();
  run_items(&POOL.job, 0);
  std::unique_lock<std::mutex> guard(POOL.lock);
  POOL.done.wait(guard, [] { return POOL.busy == 0; });
}

uint32_t available_cores() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) != 0) return 1;
  int count = CPU_COUNT(&set);
  return count > 0 ? static_cast<uint32_t>(count) : 1;
}
