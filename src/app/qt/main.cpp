// The evaluator test station on Linux: one window that finds attached
// evaluators and runs their test. No command line, no configuration beyond the
// counters file.
#include "Binding.h"
#include "LinkKinds.h"
#include "QtStationWindow.h"

#include <QApplication>

int main(int argc, char** argv) {
    // The device-setup and HID libraries are bound before the window exists and
    // released after it is gone (the window's last device reference with it).
    LibraryBinding binding;
    QApplication application(argc, argv);
    QApplication::setApplicationName(QString::fromUtf8(kStationTitle));
    QtStationWindow window(productLinkKinds());
    window.show();
    return QApplication::exec();
}
