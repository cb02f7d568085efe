// What every subsystem uses and none owns: ending the run on a failure, and large buffers.
// It sits at the bottom of the includes and includes no file of its own.
#pragma once

#include <cstdint>
#include <cstdlib>

// Prints the message on standard error and ends the process with `status`.
[[noreturn]] void fatal(int status, const char* format, ...) __attribute__((format(printf, 2, 3)));

struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};
// Memory for a large buffer, released with free(); huge pages where the kernel has them and
// HUGE_PAGES asks for them.
void* allocate_large(uint64_t bytes);
extern bool HUGE_PAGES;
