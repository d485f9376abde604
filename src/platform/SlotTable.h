// What the two library bindings share: a slot table entry names the symbol
// the slot is resolved from and points at the slot's storage, a function-pointer
// variable of whatever type. A slot is written and read as the bytes of a code
// address, so one table serves the typed and the untyped slots alike.
#pragma once

#include "WinConvTypes.h"

#include <cstddef>
#include <cstring>

namespace binding {

inline void storeSlot(void* storage, FARPROC address) {
    std::memcpy(storage, &address, sizeof address);
}

inline FARPROC loadSlot(const void* storage) {
    FARPROC address;
    std::memcpy(&address, storage, sizeof address);
    return address;
}

template <class Slot, std::size_t N>
const char* symbolAt(const Slot (&slots)[N], std::size_t index) {
    return index < N ? slots[index].symbol : nullptr;
}

template <class Slot, std::size_t N> FARPROC addressAt(const Slot (&slots)[N], std::size_t index) {
    return index < N ? loadSlot(slots[index].storage) : nullptr;
}

} // namespace binding
