#include "QtFixture.h"

#include <QApplication>
#include <QCoreApplication>

void QtStationTest::TearDown() {
    qt_.reset();
    StationTest::TearDown();
}

void QtStationTest::startWindow(std::initializer_list<std::pair<FakeKind*, const char*>> kinds) {
    std::vector<LinkKind> entries;
    for (const auto& [kind, text] : kinds) {
        entries.push_back(kind->entry(text));
    }
    qt_ = std::make_unique<QtStationWindow>(std::move(entries));
    // Shown and mapped, as on a screen, so that painting really happens. The
    // timer must not tick meanwhile: the tests tick the station themselves.
    qt_->stopTimer();
    qt_->show();
    QCoreApplication::processEvents();
}

void QtStationTest::tickWindow(int count) {
    for (int i = 0; i < count; ++i) {
        station().Timer1Timer();
    }
    qt_->update();
    QCoreApplication::processEvents();
}

QImage QtStationTest::grab() {
    return qt_->grab().toImage().convertToFormat(QImage::Format_RGB32);
}

std::filesystem::path outputDirectory(const char* name) {
    std::filesystem::path dir = QCoreApplication::applicationDirPath().toStdString();
    dir /= name;
    std::filesystem::create_directories(dir);
    return dir;
}

void saveScreenshot(const QImage& image, const char* name) {
    const auto path = outputDirectory("screenshots") / name;
    image.save(QString::fromStdString(path.string()));
}
