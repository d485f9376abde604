// The evaluator test station: one window that finds attached evaluators and
// runs their test. No command line, no configuration beyond the counters file.
#include "Binding.h"
#include "LinkKinds.h"
#include "StationApplication.h"
#include "frmMain.h"

int main(int argc, char** argv) {
    // The device-setup and HID libraries are bound before the window exists and
    // released after it is gone (the window's last device reference with it).
    LibraryBinding binding;
    StationApplication application(argc, argv);
    TMainForm form(productLinkKinds());
    form.show();
    return application.exec();
}
