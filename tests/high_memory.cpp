// Linked into a test build of the Windows game only: every allocation that
// the game and the library make lands above 4 GB, where 64-bit Windows
// usually puts the heap and where a pointer kept in 32 bits is cut short.
// Wine, left alone, keeps the heap below 4 GB and so hides that fault. The
// free address space below 4 GB is reserved first, then malloc() and its
// kin take their memory from a heap of their own made after that.
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {
constexpr uintptr_t FOUR_GB = uintptr_t(1) << 32;
constexpr uintptr_t GRANULE = 64 * 1024;  // what VirtualAlloc reserves in

HANDLE make_high_heap()
{
    MEMORY_BASIC_INFORMATION m;
    for (uintptr_t at = GRANULE; at < FOUR_GB && VirtualQuery(reinterpret_cast<void *>(at), &m, sizeof m);
         at = uintptr_t(m.BaseAddress) + m.RegionSize) {
        if (m.State != MEM_FREE)
            continue;
        const uintptr_t from = (uintptr_t(m.BaseAddress) + GRANULE - 1) / GRANULE * GRANULE;
        const uintptr_t to = std::min(uintptr_t(m.BaseAddress) + m.RegionSize, FOUR_GB) / GRANULE * GRANULE;
        if (to > from)
            VirtualAlloc(reinterpret_cast<void *>(from), to - from, MEM_RESERVE, PAGE_NOACCESS);
    }
    HANDLE heap = HeapCreate(0, 0, 0);
    // A build that would prove nothing stops here.
    void *small = heap ? HeapAlloc(heap, 0, 24) : nullptr, *big = heap ? HeapAlloc(heap, 0, 640 * 480 * 2) : nullptr;
    if (uintptr_t(small) < FOUR_GB || uintptr_t(big) < FOUR_GB) {
        std::fprintf(stderr, "high_memory: allocations still land below 4 GB\n");
        std::_Exit(3);
    }
    HeapFree(heap, 0, small);
    HeapFree(heap, 0, big);
    return heap;
}

HANDLE high_heap()
{
    static HANDLE heap = make_high_heap();
    return heap;
}
} // namespace

extern "C" {
void *malloc(size_t n) { return HeapAlloc(high_heap(), 0, n ? n : 1); }
void *calloc(size_t n, size_t size)
{
    if (size && n > SIZE_MAX / size)
        return nullptr;
    return HeapAlloc(high_heap(), HEAP_ZERO_MEMORY, n * size > 0 ? n * size : 1);
}
void *realloc(void *p, size_t n)
{
    if (!p)
        return malloc(n);
    return HeapReAlloc(high_heap(), 0, p, n ? n : 1);
}
void free(void *p)
{
    if (p)
        HeapFree(high_heap(), 0, p);
}
}
