// Holds the device-setup and HID bindings for the life of the program.
//
// Made once at the top of main, before the window exists, so that the binding
// does not depend on the order in which static objects start and stop. The
// results are not kept: a binding that failed leaves its slots null, and every
// caller treats a null slot as "that kind of device is not there".
#pragma once

#include "Hid.h"
#include "SetupApi.h"

class LibraryBinding {
public:
    LibraryBinding() {
        (void)BindHid();
        (void)BindSetupApi();
    }
    ~LibraryBinding() {
        UnbindSetupApi();
        UnbindHid();
    }
    LibraryBinding(const LibraryBinding&) = delete;
    LibraryBinding& operator=(const LibraryBinding&) = delete;
};
