#include "common.h"

#include <sys/mman.h>

#include <cstdarg>
#include <cstdio>

void fatal(int status, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vfprintf(stderr, format, args);
  va_end(args);
  std::exit(status);
}

bool HUGE_PAGES = true;

void* allocate_large(uint64_t bytes) {
  // A fresh buffer is faulted in page by page; with 2 MiB pages that is 512 times fewer,
  // and the walks' random reads miss the TLB far less.
  constexpr uint64_t HUGE_PAGE = uint64_t{1} << 21;
  if (bytes < HUGE_PAGE || !HUGE_PAGES) return std::malloc(bytes);
  void* p = std::aligned_alloc(HUGE_PAGE, (bytes + HUGE_PAGE - 1) / HUGE_PAGE * HUGE_PAGE);
  if (p != nullptr) ::madvise(p, bytes, MADV_HUGEPAGE);
  return p;
}
