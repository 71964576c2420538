// What the heap gives up for an allocation, for bounds that must count what
// is really held rather than what was asked for.
#pragma once

#include <cstddef>

// An allocation of n bytes as glibc's malloc takes it: a word of header,
// rounded up to 16 bytes, 32 at least; from its first mmap threshold (128
// KiB) on, whole pages. An estimate: an allocator with coarser steps holds more.
constexpr std::size_t heap_bytes(std::size_t n) noexcept {
    if (n == 0) return 0;
    if (n >= 128 * 1024) return (n + 2 * sizeof(std::size_t) + 4095) / 4096 * 4096;
    const std::size_t chunk = (n + sizeof(std::size_t) + 15) / 16 * 16;
    return chunk < 32 ? 32 : chunk;
}
