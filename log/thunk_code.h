// The machine code of a window-procedure thunk, for both architectures, as plain bytes: no
// Windows header, so the encodings are checked natively (the 32-bit one cannot run there).
//
// A thunk is entered as a window procedure (window, message, wParam, lParam), puts the object
// where the window handle was, and jumps to the common procedure, which therefore receives
// (object, message, wParam, lParam):
//  - 32-bit x86, stdcall arguments on the stack: mov dword [esp+4], object ; jmp rel32;
//  - x86_64, first argument in rcx: mov rcx, object ; mov rax, target ; jmp rax (an absolute
//    jump: the pool's pages may lie more than 2 GiB away from the code).
#pragma once
#include <cstdint>

#pragma pack(push, 1)
struct Thunk32 {
    uint8_t movStack[4];      // C7 44 24 04
    uint32_t object;
    uint8_t jmpRel;           // E9
    uint32_t displacement;    // from the end of the thunk to the target
};
struct Thunk64 {
    uint8_t movRcx[2];  // 48 B9
    uint64_t object;
    uint8_t movRax[2];  // 48 B8
    uint64_t target;
    uint8_t jmpRax[2];  // FF E0
};
#pragma pack(pop)
static_assert(sizeof(Thunk32) == 13, "the 32-bit thunk is 13 bytes");
static_assert(sizeof(Thunk64) == 22, "the x86_64 thunk is 22 bytes");

// slot: the address the thunk will run at (the displacement is relative to its end).
Thunk32 MakeThunk32(uint32_t slot, uint32_t object, uint32_t target);
Thunk64 MakeThunk64(uint64_t object, uint64_t target);
