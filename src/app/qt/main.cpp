// The evaluator test station on Linux: one window that finds attached
// evaluators and runs their test. No command line, no configuration beyond the
// counters file.
#include "Binding.h"
#include "LinkKinds.h"
#include "Profile.h"
#include "ProfileFile.h"
#include "QtStationWindow.h"

#include <QApplication>
#include <QMessageBox>

int main(int argc, char** argv) {
    // The device-setup and HID libraries are bound before the window exists and
    // released after it is gone (the window's last device reference with it).
    LibraryBinding binding;
    QApplication application(argc, argv);
    QApplication::setApplicationName(QString::fromUtf8(kStationTitle));
    // One station per counters file, held for the station's life. The
    // package's file is shared by every operator of the machine, so this is
    // one station per machine there, as the one evaluator it can test allows.
    const std::string counters = countersFilePath();
    const profile::StationHold hold(counters.c_str());
    if (hold.outcome() == profile::StationHold::Outcome::HeldElsewhere) {
        QMessageBox::critical(nullptr, QString::fromUtf8(kStationTitle),
                              QString::fromStdString(alreadyRunningMessage(counters)));
        return 1;
    }
    QtStationWindow window(productLinkKinds());
    window.show();
    return QApplication::exec();
}
