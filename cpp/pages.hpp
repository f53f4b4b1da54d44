// Memory of large arrays straight from the kernel: anonymous mappings that grow in place or
// move by remapping, never by a copy. Elsewhere than Linux the callers keep to malloc.
//
// No transparent huge pages are asked for: they make the first pipeline of a fresh
// process faster (one fault maps 2 MiB), but where the kernel is set to find them on
// request (defrag "madvise") it compacts memory synchronously whenever a process's memory
// is fragmented, and a log that grows operation after operation then paid 2-3 times as
// much per operation as on plain pages.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace orrin::pages {

constexpr size_t kPage = 4096;

#if defined(__linux__)
// Arrays of at least this many bytes are worth a mapping of their own.
constexpr size_t kMapFrom = size_t{1} << 20;
#else
constexpr size_t kMapFrom = SIZE_MAX;
#endif

// The size of a mapping that holds `bytes`: whole pages.
inline size_t rounded(size_t bytes) { return (bytes + kPage - 1) / kPage * kPage; }

#if defined(__linux__)
// A new mapping of rounded(bytes), or null.
inline void* map(size_t bytes) {
    const size_t size = rounded(bytes);
    void* at = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return at == MAP_FAILED ? nullptr : at;
}

// The mapping `data` of `mapped` bytes (a size rounded() gave) made rounded(bytes) long,
// where it is or moved (its pages, not copies of them), or null (the old one left as it was).
inline void* remap(void* data, size_t mapped, size_t bytes) {
    const size_t size = rounded(bytes);
    if (size == mapped) return data;
    void* at = mremap(data, mapped, size, MREMAP_MAYMOVE);
    return at == MAP_FAILED ? nullptr : at;
}

inline void unmap(void* data, size_t mapped) { munmap(data, mapped); }
#else
inline void* map(size_t) { return nullptr; }
inline void* remap(void*, size_t, size_t) { return nullptr; }
inline void unmap(void*, size_t) {}
#endif

}  // namespace orrin::pages
