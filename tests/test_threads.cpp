// The parallel loop: every item once, on the threads asked for, loop after loop.
#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "threads.h"

namespace {

struct Seen {
  std::vector<std::atomic<uint32_t>> calls;
  std::atomic<uint32_t> highest_thread{0};
  explicit Seen(uint64_t n) : calls(n) {}
};

void count_call(void* data, uint64_t item, uint32_t thread) {
  Seen& seen = *static_cast<Seen*>(data);
  seen.calls[item].fetch_add(1);
  uint32_t high = seen.highest_thread.load();
  while (high < thread && !seen.highest_thread.compare_exchange_weak(high, thread)) {
  }
}

TEST(Threads, EveryItemExactlyOnceOnTheThreadsAskedFor) {
  // Thread counts go up and down between loops, so that the pool grows and lets
  // threads sit loops out.
  for (uint32_t threads : {1u, 2u, 8u, 3u, 1u, 5u, 2u})
    for (uint64_t n : {0u, 1u, 2u, 7u, 1000u}) {
      Seen seen(n);
      parallel_for(threads, n, count_call, &seen);
      for (uint64_t i = 0; i < n; ++i) ASSERT_EQ(seen.calls[i].load(), 1u) << threads << " threads, item " << i;
      EXPECT_LT(seen.highest_thread.load(), threads == 0 ? 1 : threads);
    }
}

TEST(Threads, OneThreadOrOneItemStaysOnTheCaller) {
  for (auto [threads, n] : {std::pair{1u, uint64_t{50}}, {4u, uint64_t{1}}}) {
    Seen seen(n);
    parallel_for(threads, n, count_call, &seen);
    EXPECT_EQ(seen.highest_thread.load(), 0u);
  }
}

TEST(Threads, AvailableCoresIsAtLeastOne) { EXPECT_GE(available_cores(), 1u); }

}  // namespace
