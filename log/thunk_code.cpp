// Thunk encodings (see thunk_code.h). Multi-byte fields are stored little-endian, as x86
// reads them; the build only targets little-endian machines.
#include "log/thunk_code.h"

Thunk32 MakeThunk32(uint32_t slot, uint32_t object, uint32_t target)
{
    Thunk32 code = {{0xC7, 0x44, 0x24, 0x04}, object, 0xE9, 0};
    // Unsigned wrap-around gives the two's-complement displacement for a target below the slot.
    code.displacement = target - (slot + static_cast<uint32_t>(sizeof(Thunk32)));
    return code;
}

Thunk64 MakeThunk64(uint64_t object, uint64_t target)
{
    return Thunk64{{0x48, 0xB9}, object, {0x48, 0xB8}, target, {0xFF, 0xE0}};
}
