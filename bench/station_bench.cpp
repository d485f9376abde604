// How fast the station comes up and how little it costs while it waits.
//
//   station_bench            (on a display, e.g. xvfb-run build/native/bench/station_bench)
//
// Prints: time from process start to the first painted window, the photograph's
// decoding time, the cost of one idle tick (no link kinds) and the resident
// memory of the idle station, each with the limit it should stay under.
#include "Binding.h"
#include "JpegDecoder.h"
#include "QtStationWindow.h"

#include "frmMain.h"
#include <QApplication>

#include <QEvent>
#include <QFile>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

double secondsSinceBoot() {
    timespec now{};
    clock_gettime(CLOCK_BOOTTIME, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// The kernel's record of when this process started, in seconds since boot
// (field 22 of /proc/self/stat, in clock ticks).
double processStartSinceBoot() {
    std::ifstream file("/proc/self/stat");
    std::string stat((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    // The command name (field 2) may hold blanks; count fields after its ')'.
    std::istringstream rest(stat.substr(stat.rfind(')') + 2));
    std::string field;
    for (int i = 3; i <= 22 && rest >> field; ++i) {
    }
    return std::stod(field) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

long residentKiB() {
    std::ifstream file("/proc/self/status");
    std::string line;
    while (std::getline(file, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::stol(line.substr(6));
        }
    }
    return -1;
}

// Notes the end of the window's first paint: the paint event has been handled
// and the frame flushed by the time the zero-delay timer runs.
class FirstPaint final : public QObject {
public:
    Clock::time_point painted{};
    double sinceBoot = 0;
    bool seen = false;

protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Paint && !seen) {
            seen = true;
            QTimer::singleShot(0, [this] {
                painted = Clock::now();
                sinceBoot = secondsSinceBoot();
                QCoreApplication::quit();
            });
        }
        return false;
    }
};

const char* verdict(bool ok) {
    return ok ? "ok" : "TOO SLOW/LARGE";
}

} // namespace

int main(int argc, char** argv) {
    const Clock::time_point mainEntered = Clock::now();

    // The program's own start, step by step.
    LibraryBinding binding;
    QApplication application(argc, argv);
    QtStationWindow form({});
    FirstPaint firstPaint;
    form.installEventFilter(&firstPaint);
    form.show();
    QTimer::singleShot(5000, [] { QCoreApplication::quit(); }); // never hang the bench
    application.exec();
    form.removeEventFilter(&firstPaint);
    if (!firstPaint.seen) {
        std::printf("the window was never painted (is there a display?)\n");
        return 1;
    }
    const double startMs = (firstPaint.sinceBoot - processStartSinceBoot()) * 1000.0;
    const double mainMs =
        std::chrono::duration<double, std::milli>(firstPaint.painted - mainEntered).count();
    std::printf("platform:                %s\n", qPrintable(QGuiApplication::platformName()));
    std::printf("start to first paint:    %.1f ms from process start (%.1f ms from main)  "
                "limit 500 ms: %s\n",
                startMs, mainMs, verdict(startMs < 500.0));

    // The photograph, decoded as the window does it.
    QFile photo(QStringLiteral(":/station/evaluator.jpg"));
    photo.open(QIODevice::ReadOnly);
    const QByteArray jpeg = photo.readAll();
    std::vector<double> decodeMs;
    for (int i = 0; i < 30; ++i) {
        const auto begin = Clock::now();
        const QImage image = decodeJpeg(std::string_view(jpeg.constData(), jpeg.size()));
        decodeMs.push_back(std::chrono::duration<double, std::milli>(Clock::now() - begin).count());
        if (image.isNull()) {
            std::printf("the photograph did not decode\n");
            return 1;
        }
    }
    std::sort(decodeMs.begin(), decodeMs.end());
    std::printf("JPEG decode (%d bytes):  median %.2f ms, best %.2f ms\n",
                static_cast<int>(jpeg.size()), decodeMs[decodeMs.size() / 2], decodeMs.front());

    // The idle tick with no link kinds: the loop over the kinds and the status marker.
    constexpr int kTicks = 20000;
    const auto tickBegin = Clock::now();
    for (int i = 0; i < kTicks; ++i) {
        form.station().Timer1Timer();
    }
    const double tickUs =
        std::chrono::duration<double, std::micro>(Clock::now() - tickBegin).count() / kTicks;
    std::printf("idle tick (no kinds):    %.2f us  limit 50 us: %s\n", tickUs,
                verdict(tickUs < 50.0));

    // A second of idling as the station does it: real ticks, real painting.
    QTimer::singleShot(1000, [] { QCoreApplication::quit(); });
    application.exec();
    const long rss = residentKiB();
    std::printf("resident memory, idle:   %.1f MB  limit 80 MB: %s\n", rss / 1024.0,
                verdict(rss >= 0 && rss < 80 * 1024));
    return 0;
}
