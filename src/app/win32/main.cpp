// The evaluator test station on Windows: one native window that finds attached
// evaluators and runs their test. No command line, no configuration beyond the
// counters file.
#include "Binding.h"
#include "FormCore.h"
#include "LinkKinds.h"
#include "OneStation.h"
#include "ProfileFile.h"
#include "Utf16.h"
#include "Win32Window.h"
#include "frmMain.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int show) {
    // A key wait blocks the window by design, 5 s for a HID evaluator and up to
    // 15 s behind an adapter. Windows takes a window that reads no messages for
    // 5 s as hung: it would cover it with a whitened "(Not Responding)" copy and,
    // on a click on close, offer to end the program in the middle of a test.
    DisableProcessWindowsGhosting();
    // The device-setup and HID libraries are bound before the window exists and
    // released after it is gone (the station's last device reference with it).
    // One station per counters file: a second copy hands over to the first.
    const std::string counters = countersFilePath();
    const StationClaim claim(counters);
    if (claim.heldElsewhere()) {
        if (!claim.bringHolderToFront()) {
            MessageBoxW(nullptr, toUtf16(alreadyRunningMessage(counters)).c_str(),
                        stationTitle().c_str(), MB_OK | MB_ICONERROR | MB_SETFOREGROUND);
        }
        return 0;
    }
    LibraryBinding binding;
    Win32Window window(instance, kClientWidth, kClientHeight, stationTitle());
    if (!window.valid()) {
        return 1;
    }
    claim.mark(window.handle());
    TMainForm form(window, productLinkKinds());
    FormCore core(form);
    window.attach(&core);
    window.show(show);
    const int code = window.run();
    window.attach(nullptr);
    return code;
}
