// The thunk pool (see wnd_thunk.h). The code bytes:
//  32-bit x86 (13 bytes): mov dword [esp+4], object ; jmp target
//    - the window handle, the first stdcall argument, becomes the object's address.
//  x86_64 (22 bytes): mov rcx, object ; mov rax, target ; jmp rax
//    - the window handle arrives in rcx, the first argument register; an absolute jump
//      because the target may lie more than 2 GiB away from the pool's pages.
#include "log/wnd_thunk.h"

#include <cstdint>
#include <cstring>
#include <new>
#include <vector>

namespace {

#pragma pack(push, 1)
#if defined(_M_IX86) || defined(__i386__)
struct ThunkCode {
    BYTE movStack[4];  // C7 44 24 04: mov dword [esp+4], imm32
    DWORD dwObject;
    BYTE jmpRel;       // E9: jmp rel32
    DWORD dwDisplacement;  // from the end of the thunk to the target
};
static_assert(sizeof(ThunkCode) == 13, "the 32-bit thunk is 13 bytes");
const size_t SLOT_SIZE = 16;

ThunkCode MakeThunk(const void* pSlot, void* pObject, void* pfnTarget)
{
    ThunkCode code;
    const BYTE mov[4] = {0xC7, 0x44, 0x24, 0x04};
    std::memcpy(code.movStack, mov, sizeof mov);
    code.dwObject = static_cast<DWORD>(reinterpret_cast<uintptr_t>(pObject));
    code.jmpRel = 0xE9;
    code.dwDisplacement = static_cast<DWORD>(reinterpret_cast<uintptr_t>(pfnTarget) -
                                             (reinterpret_cast<uintptr_t>(pSlot) + sizeof(ThunkCode)));
    return code;
}
#elif defined(_M_X64) || defined(__x86_64__)
struct ThunkCode {
    BYTE movRcx[2];  // 48 B9: mov rcx, imm64
    ULONG64 qwObject;
    BYTE movRax[2];  // 48 B8: mov rax, imm64
    ULONG64 qwTarget;
    BYTE jmpRax[2];  // FF E0: jmp rax
};
static_assert(sizeof(ThunkCode) == 22, "the x86_64 thunk is 22 bytes");
const size_t SLOT_SIZE = 32;

ThunkCode MakeThunk(const void*, void* pObject, void* pfnTarget)
{
    ThunkCode code;
    code.movRcx[0] = 0x48;
    code.movRcx[1] = 0xB9;
    code.qwObject = reinterpret_cast<uintptr_t>(pObject);
    code.movRax[0] = 0x48;
    code.movRax[1] = 0xB8;
    code.qwTarget = reinterpret_cast<uintptr_t>(pfnTarget);
    code.jmpRax[0] = 0xFF;
    code.jmpRax[1] = 0xE0;
    return code;
}
#else
#error "window thunks are written for x86 and x86_64 only"
#endif
#pragma pack(pop)
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
