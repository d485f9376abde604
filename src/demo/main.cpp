// The virtual evaluator: an evaluator played on screen, for running the station
// on a machine with no device. It waits on a local socket for the station's
// simulated machine (EVALUATOR_SIM_DEVICES names the same path there).
//
//   virtual-evaluator --socket PATH [--no-autopilot] [--runs N] [--unplug-runs]
//                     [--at X,Y] [--scale F] [--screenshots DIR]
//
// --scale F (below 1) draws the whole window F times its size, where the screen
// has no room for it beside the station (scripts/run).
#include "VirtualEvaluatorWindow.h"

#include <QApplication>
#include <QGraphicsProxyWidget>
#include <QGraphicsScene>
#include <QGraphicsView>
#include <QScreen>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>

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
    double scale = 1.0;
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
        } else if (arg == QLatin1String("--scale") && hasValue) {
            const double wanted = args[++i].toDouble();
            scale = wanted > 0.0 ? std::clamp(wanted, 0.2, 1.0) : 1.0;
        } else if (arg == QLatin1String("--at") && hasValue) {
            const QStringList xy = args[++i].split(QLatin1Char(','));
            if (xy.size() == 2) {
                at = QPoint(xy[0].toInt(), xy[1].toInt());
                placed = true;
            }
        } else {
            std::fprintf(stderr,
                         "usage: virtual-evaluator --socket PATH [--no-autopilot] [--runs N] "
                         "[--unplug-runs] [--at X,Y] [--scale F] [--screenshots DIR]\n");
            return 2;
        }
    }
    if (socketPath.isEmpty()) {
        std::fprintf(stderr, "virtual-evaluator: --socket PATH is needed\n");
        return 2;
    }

    auto owned = std::make_unique<VirtualEvaluatorWindow>(
        socketPath,
        unplugRuns ? VirtualEvaluatorWindow::unplugRuns() : VirtualEvaluatorWindow::demoRuns(),
        limit, autopilot);
    VirtualEvaluatorWindow& window = *owned;
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
    if (scale >= 1.0) {
        window.move(at);
        window.show();
        return application.exec();
    }
    // Smaller, as a drawing: the window inside a view that scales it as a whole,
    // its clicks and keys included. The scene owns the window from here on.
    QGraphicsScene scene;
    scene.addWidget(owned.release());
    QGraphicsView view(&scene);
    view.setWindowTitle(window.windowTitle());
    view.setTransform(QTransform::fromScale(scale, scale));
    view.setRenderHints(QPainter::Antialiasing | QPainter::TextAntialiasing |
                        QPainter::SmoothPixmapTransform);
    view.setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    view.setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    view.setFrameShape(QFrame::NoFrame);
    view.setFixedSize(static_cast<int>(std::ceil(window.width() * scale)),
                      static_cast<int>(std::ceil(window.height() * scale)));
    view.move(at);
    view.show();
    return application.exec();
}
