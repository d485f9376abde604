// The evaluator test station on Windows: one native window that finds attached
// evaluators and runs their test. No command line, no configuration beyond the
// counters file.
#include "Binding.h"
#include "FormCore.h"
#include "LinkKinds.h"
#include "Win32Window.h"
#include "frmMain.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int show) {
    // The device-setup and HID libraries are bound before the window exists and
    // released after it is gone (the station's last device reference with it).
    LibraryBinding binding;
    Win32Window window(instance, kClientWidth, kClientHeight, stationTitle());
    if (!window.valid()) {
        return 1;
    }
    TMainForm form(window, productLinkKinds());
    FormCore core(form);
    window.attach(&core);
    window.show(show);
    const int code = window.run();
    window.attach(nullptr);
    return code;
}
