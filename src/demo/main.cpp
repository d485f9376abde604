// The virtual evaluator: an evaluator played on screen, for running the station
// on a machine with no device. It waits on a local socket for the station's
// simulated machine (EVALUATOR_SIM_DEVICES names the same path there).
//
//   virtual-evaluator --socket PATH [--no-autopilot] [--runs N] [--unplug-runs]
//                     [--at X,Y] [--screenshots DIR]
#include "VirtualEvaluatorWindow.h"

#include <QApplication>
#include <QScreen>

#include <algorithm>
#include <cstdio>

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    application.setApplicationName(QStringLiteral("Virtual evaluator"));

    QString socketPath;
    bool autopilot = true;
    int limit = 0;
    bool unplugRuns = false;
    QString shotDir;
    QPoint at;
    bool placed = false;
    const QStringList args = application.arguments();
    for (int i = 1; i < args.size(); ++i) {
        const QString& arg = args[i];
        bool hasValue = i + 1 < args.size();
        if (arg == QLatin1String("--socket") && hasValue) {
            socketPath = args[++i];
        } else if (arg == QLatin1String("--no-autopilot")) {
            autopilot = false;
        } else if (arg == QLatin1String("--runs") && hasValue) {
            limit = args[++i].toInt();
        } else if (arg == QLatin1String("--screenshots") && hasValue) {
            shotDir = args[++i];
        } else if (arg == QLatin1String("--unplug-runs")) {
            unplugRuns = true;
        } else if (arg == QLatin1String("--at") && hasValue) {
            const QStringList xy = args[++i].split(QLatin1Char(','));
            if (xy.size() == 2) {
                at = QPoint(xy[0].toInt(), xy[1].toInt());
                placed = true;
            }
        } else {
            std::fprintf(stderr,
                         "usage: virtual-evaluator --socket PATH [--no-autopilot] [--runs N] "
                         "[--unplug-runs] [--at X,Y] [--screenshots DIR]\n");
            return 2;
        }
    }
    if (socketPath.isEmpty()) {
        std::fprintf(stderr, "virtual-evaluator: --socket PATH is needed\n");
        return 2;
    }

    VirtualEvaluatorWindow window(socketPath,
                                  unplugRuns ? VirtualEvaluatorWindow::unplugRuns()
                                             : VirtualEvaluatorWindow::demoRuns(),
                                  limit, autopilot);
    window.setScreenshotDirectory(shotDir);
    if (!placed) {
        // The station's window (690 x 643) opens in the middle of the screen:
        // stand beside it on the right, or as far right as a small screen allows.
        if (const QScreen* screen = application.primaryScreen()) {
            QRect area = screen->availableGeometry();
            int stationRight = area.center().x() + 345 + 12;
            at.setX(std::max(area.left(), std::min(stationRight, area.right() - window.width())));
            at.setY(std::max(area.top(), area.center().y() - 321));
        }
    }
    window.move(at);
    window.show();
    return application.exec();
}
