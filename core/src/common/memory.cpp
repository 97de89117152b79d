#include "common/memory.hpp"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <limits>
#include <new>

namespace marlune {
namespace {

// MemAvailable from /proc/meminfo (Linux 3.14+), in bytes; 0 when unknown.
std::size_t meminfo_available() {
  std::FILE* f = std::fopen("/proc/meminfo", "r");
  if (f == nullptr) return 0;
  char line[256];
  std::size_t bytes = 0;
  while (std::fgets(line, sizeof line, f) != nullptr) {
    unsigned long long kib = 0;
    if (std::sscanf(line, "MemAvailable: %llu kB", &kib) == 1) {
      bytes = kib > std::numeric_limits<std::size_t>::max() / 1024 ? std::numeric_limits<std::size_t>::max()
                                                                  : static_cast<std::size_t>(kib) * 1024;
      break;
    }
  }
  std::fclose(f);
  return bytes;
}

std::size_t physical_bytes() {
  const long pages = ::sysconf(_SC_PHYS_PAGES);
  const long page = ::sysconf(_SC_PAGESIZE);
  if (pages <= 0 || page <= 0) return std::numeric_limits<std::size_t>::max();
  const auto p = static_cast<std::size_t>(pages), s = static_cast<std::size_t>(page);
  return p > std::numeric_limits<std::size_t>::max() / s ? std::numeric_limits<std::size_t>::max() : p * s;
}

}  // namespace

std::size_t checked_mul(std::size_t a, std::size_t b) {
  std::size_t out = 0;
  if (__builtin_mul_overflow(a, b, &out)) throw std::bad_alloc();
  return out;
}

std::size_t checked_add(std::size_t a, std::size_t b) {
  std::size_t out = 0;
  if (__builtin_add_overflow(a, b, &out)) throw std::bad_alloc();
  return out;
}

std::size_t allocatable_bytes() {
  const std::size_t available = meminfo_available();
  return available != 0 ? available : physical_bytes();
}

void ensure_allocatable_doubles(std::size_t count) {
  // Small requests are always granted without asking the kernel: reading
  // /proc/meminfo costs more than a whole small solve.
  constexpr std::size_t kAlwaysFine = (std::size_t{64} << 20) / sizeof(double);
  if (count <= kAlwaysFine) return;
  if (count > allocatable_bytes() / sizeof(double)) throw std::bad_alloc();
}

}  // namespace marlune
