// The thunk pool (see wnd_thunk.h); the code bytes come from thunk_code.h: 13 bytes in
// 16-byte slots on 32-bit x86, 22 bytes in 32-byte slots on x86_64.
#include "log/wnd_thunk.h"

#include "log/thunk_code.h"

#include <cstdint>
#include <cstring>
#include <new>
#include <vector>

namespace {

#if defined(_M_IX86) || defined(__i386__)
using ThunkCode = Thunk32;
const size_t SLOT_SIZE = 16;

ThunkCode MakeThunk(const void* pSlot, void* pObject, void* pfnTarget)
{
    return MakeThunk32(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(pSlot)),
                       static_cast<uint32_t>(reinterpret_cast<uintptr_t>(pObject)),
                       static_cast<uint32_t>(reinterpret_cast<uintptr_t>(pfnTarget)));
}
#elif defined(_M_X64) || defined(__x86_64__)
using ThunkCode = Thunk64;
const size_t SLOT_SIZE = 32;

ThunkCode MakeThunk(const void*, void* pObject, void* pfnTarget)
{
    return MakeThunk64(reinterpret_cast<uintptr_t>(pObject), reinterpret_cast<uintptr_t>(pfnTarget));
}
#else
#error "window thunks are written for x86 and x86_64 only"
#endif
static_assert(sizeof(ThunkCode) <= SLOT_SIZE, "a thunk fits its slot");

// The pool: regions from VirtualAlloc (one allocation granule each), cut into slots.
struct Pool {
    SRWLOCK lock = SRWLOCK_INIT;
    std::vector<BYTE*> freeSlots;       // slots ready for reuse
    std::vector<BYTE*> executablePages; // pages already made executable
    size_t pageSize = 0;
};

Pool& ThePool()
{
    // Never destroyed: windows may still call thunks while the process shuts down.
    static Pool* pPool = new Pool;
    return *pPool;
}

bool IsExecutable(const Pool& pool, BYTE* pPage)
{
    for (BYTE* p : pool.executablePages)
        if (p == pPage)
            return true;
    return false;
}

// Adds one region's slots to the free list. Called with the lock held.
bool Grow(Pool& pool)
{
    SYSTEM_INFO si;
    ::GetSystemInfo(&si);
    pool.pageSize = si.dwPageSize;
    const size_t nRegion = si.dwAllocationGranularity;
    BYTE* pRegion = static_cast<BYTE*>(
        ::VirtualAlloc(nullptr, nRegion, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    if (pRegion == nullptr)
        return false;
    // Unused slots trap if anything ever jumps into them.
    std::memset(pRegion, 0xCC, nRegion);
    try {
        pool.freeSlots.reserve(pool.freeSlots.size() + nRegion / SLOT_SIZE);
    } catch (const std::bad_alloc&) {
        ::VirtualFree(pRegion, 0, MEM_RELEASE);
        return false;
    }
    // Handed out from the lowest address up (the list is used from its back).
    for (size_t off = nRegion; off >= SLOT_SIZE; off -= SLOT_SIZE)
        pool.freeSlots.push_back(pRegion + off - SLOT_SIZE);
    return true;
}

// Writes one thunk and leaves its page execute-read. Called with the lock held.
bool WriteSlot(Pool& pool, BYTE* pSlot, void* pObject, void* pfnTarget)
{
    BYTE* pPage = reinterpret_cast<BYTE*>(reinterpret_cast<uintptr_t>(pSlot) &
                                          ~static_cast<uintptr_t>(pool.pageSize - 1));
    const bool bLive = IsExecutable(pool, pPage);
    DWORD dwOld = 0;
    if (bLive && !::VirtualProtect(pPage, pool.pageSize, PAGE_EXECUTE_READWRITE, &dwOld))
        return false;
    const ThunkCode code = MakeThunk(pSlot, pObject, pfnTarget);
    std::memcpy(pSlot, &code, sizeof code);
    if (!::VirtualProtect(pPage, pool.pageSize, PAGE_EXECUTE_READ, &dwOld))
        return false;
    if (!bLive) {
        try {
            pool.executablePages.push_back(pPage);
        } catch (const std::bad_alloc&) {
            // The page stays execute-read; only the next write treats it as new and protects
            // it the same way.
        }
    }
    ::FlushInstructionCache(::GetCurrentProcess(), pSlot, sizeof code);
    return true;
}

}  // namespace

WndThunk* AllocWndThunk(void* pObject, void* pfnTarget)
{
    Pool& pool = ThePool();
    ::AcquireSRWLockExclusive(&pool.lock);
    BYTE* pSlot = nullptr;
    if (!pool.freeSlots.empty() || Grow(pool)) {
        pSlot = pool.freeSlots.back();
        pool.freeSlots.pop_back();
        if (!WriteSlot(pool, pSlot, pObject, pfnTarget)) {
            pool.freeSlots.push_back(pSlot);
            pSlot = nullptr;
        }
    }
    ::ReleaseSRWLockExclusive(&pool.lock);
    return reinterpret_cast<WndThunk*>(pSlot);
}

void RetargetWndThunk(WndThunk* pThunk, void* pObject, void* pfnTarget)
{
    Pool& pool = ThePool();
    ::AcquireSRWLockExclusive(&pool.lock);
    WriteSlot(pool, reinterpret_cast<BYTE*>(pThunk), pObject, pfnTarget);
    ::ReleaseSRWLockExclusive(&pool.lock);
}

void FreeWndThunk(WndThunk* pThunk)
{
    if (pThunk == nullptr)
        return;
    Pool& pool = ThePool();
    ::AcquireSRWLockExclusive(&pool.lock);
    try {
        pool.freeSlots.push_back(reinterpret_cast<BYTE*>(pThunk));
    } catch (const std::bad_alloc&) {
        // The slot is lost, nothing else.
    }
    ::ReleaseSRWLockExclusive(&pool.lock);
}
