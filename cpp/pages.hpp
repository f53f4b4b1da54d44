// Memory of large arrays straight from the kernel: anonymous mappings that grow in place or
// move by remapping (no copy), and transparent huge pages for them. The first touch of a
// fresh page is most of what writing a large new array costs; with huge pages (where the
// system grants them on request, as numpy asks for its own large arrays) one fault maps
// 2 MiB instead of 4 KiB. Elsewhere than Linux the callers keep to malloc.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace orrin::pages {

constexpr size_t kPage = 4096;
constexpr size_t kHuge = size_t{2} << 20;

#if defined(__linux__)
// Arrays of at least this many bytes are worth a mapping of their own.
constexpr size_t kMapFrom = size_t{1} << 20;
#else
constexpr size_t kMapFrom = SIZE_MAX;
#endif

// The size of a mapping that holds `bytes`: whole huge pages from one on (a mapping of such
// a size starts on a huge page boundary), else whole pages.
inline size_t rounded(size_t bytes) {
    const size_t unit = bytes >= kHuge ? kHuge : kPage;
    return (bytes + unit - 1) / unit * unit;
}

// Asks for huge pages over the whole pages within [data, data + bytes) of at least one huge
// page: a hint the kernel may decline, so its answer is not read.
inline void advise_huge(void* data, size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    if (bytes < kHuge) return;
    const auto at = reinterpret_cast<uintptr_t>(data);
    const uintptr_t first = (at + kPage - 1) / kPage * kPage;
    const uintptr_t end = (at + bytes) / kPage * kPage;
    if (end > first) madvise(reinterpret_cast<void*>(first), end - first, MADV_HUGEPAGE);
#else
    (void)data;
    (void)bytes;
#endif
}

#if defined(__linux__)
// A new mapping of rounded(bytes), or null.
inline void* map(size_t bytes) {
    const size_t size = rounded(bytes);
    void* at = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (at == MAP_FAILED) return nullptr;
    advise_huge(at, size);
    return at;
}

// The mapping `data` of `mapped` bytes (a size rounded() gave) made rounded(bytes) long,
// where it is or moved (its pages, not copies of them), or null (the old one left as it was).
inline void* remap(void* data, size_t mapped, size_t bytes) {
    const size_t size = rounded(bytes);
    if (size == mapped) return data;
    void* at = mremap(data, mapped, size, MREMAP_MAYMOVE);
    if (at == MAP_FAILED) return nullptr;
    advise_huge(at, size);
    return at;
}

inline void unmap(void* data, size_t mapped) { munmap(data, mapped); }
#else
inline void* map(size_t) { return nullptr; }
inline void* remap(void*, size_t, size_t) { return nullptr; }
inline void unmap(void*, size_t) {}
#endif

}  // namespace orrin::pages
