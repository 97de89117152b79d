#pragma once
// Size arithmetic for buffers whose dimensions come from user input. A size
// that wraps around, or that could never be held by this machine, is
// reported as std::bad_alloc before anything is allocated: the boundary turns
// that into MemoryError. Checking up front matters because Linux overcommits:
// an allocation far larger than memory can "succeed", and the process is
// then killed while the zero fill touches pages it cannot have.

#include <cstddef>

namespace marlune {

// a·b and a + b, or std::bad_alloc when the result does not fit in size_t.
std::size_t checked_mul(std::size_t a, std::size_t b);
std::size_t checked_add(std::size_t a, std::size_t b);

// The number of bytes this process can expect to hold at once: the memory
// the kernel reports as available (physical memory where that is unknown).
std::size_t allocatable_bytes();

// Throws std::bad_alloc unless `count` doubles fit in allocatable_bytes().
void ensure_allocatable_doubles(std::size_t count);

}  // namespace marlune
