#include "StationFixture.h"

#include "Hid.h"
#include "SetupApi.h"

#include <QCoreApplication>
#include <QMouseEvent>
#include <QTimerEvent>

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace {

class FakeDevice final : public IMivoDevice {
public:
    explicit FakeDevice(FakeKind& kind) : kind_(kind) {
        ++kind_.created;
        ++kind_.alive;
    }
    ~FakeDevice() override {
        --kind_.alive;
        kind_.log.push_back("destroyed");
    }

    bool Finish() override { return note("Finish"), true; }
    bool Exists() override { return note("Exists"), kind_.present; }
    bool IsOpen() override { return open_; }
    bool Open() override {
        note("Open");
        open_ = kind_.openResult;
        return open_;
    }
    int Close() override {
        note("Close");
        closed_ = true;
        open_ = false;
        return 0;
    }
    void SetLevel(std::uint8_t level) override { note("SetLevel " + std::to_string(level)); }
    std::uint8_t ReadState() override { return note("ReadState"), 0; }
    bool Prompt() override { return note("Prompt"), true; }
    std::uint8_t WaitKey(std::int32_t timeoutMs) override {
        note("WaitKey " + std::to_string(timeoutMs));
        std::uint8_t key = 0;
        if (!kind_.keys.empty()) {
            key = kind_.keys.front();
            kind_.keys.pop_front();
        }
        if (kind_.onWaitKey) {
            kind_.onWaitKey(key);
        }
        return key;
    }

    bool closed_ = false;

private:
    void note(std::string what) { kind_.log.push_back(std::move(what)); }
    FakeKind& kind_;
    bool open_ = false;
};

} // namespace

LinkKind FakeKind::entry(std::string text) {
    return LinkKind{[this] { return present; },
                    [this]() -> MivoDeviceRef {
                        auto device = std::make_shared<FakeDevice>(*this);
                        last = device;
                        return device;
                    },
                    std::move(text)};
}

bool FakeKind::lastHeldClosed() const {
    auto device = std::dynamic_pointer_cast<FakeDevice>(last.lock());
    return device != nullptr && device->closed_;
}

void StationTest::SetUp() {
    sim::machine().reset();
    std::string pattern = (std::filesystem::temp_directory_path() / "station-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    sim::machine().setModuleFileName((dir_ / "evaluator-station").string());
    testApplication().errors.clear();
}

void StationTest::TearDown() {
    form_.reset();
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
}

void LinkedStationTest::SetUp() {
    StationTest::SetUp();
    ASSERT_TRUE(BindHid());
    ASSERT_TRUE(BindSetupApi());
}

void LinkedStationTest::TearDown() {
    StationTest::TearDown(); // the window and its last device reference go first
    EXPECT_EQ(sim::machine().openHandles("file"), 0u);
    EXPECT_EQ(sim::machine().pendingTransfers(), 0u);
    for (const auto& v : sim::machine().violations()) {
        ADD_FAILURE() << "simulated machine: " << v;
    }
    UnbindSetupApi();
    UnbindHid();
}

void StationTest::start(std::vector<LinkKind> kinds) {
    form_ = std::make_unique<TMainForm>(std::move(kinds));
    // Shown and mapped, as on a screen, so that painting really happens. The
    // timer must not tick meanwhile: the tests tick it themselves.
    form_->Timer1->stop();
    form_->show();
    QCoreApplication::processEvents();
    form_->Timer1->start();
}

void StationTest::start(std::initializer_list<std::pair<FakeKind*, const char*>> kinds) {
    std::vector<LinkKind> entries;
    for (const auto& [kind, text] : kinds) {
        entries.push_back(kind->entry(text));
    }
    start(std::move(entries));
}

void StationTest::tick(int count) {
    for (int i = 0; i < count; ++i) {
        form_->Timer1Timer();
    }
}

void StationTest::deliverTick() {
    QTimerEvent event(form_->Timer1->timerId());
    QCoreApplication::sendEvent(form_->Timer1, &event);
}

void StationTest::doubleClickCount() {
    const QPointF at(10, 10);
    QMouseEvent event(QEvent::MouseButtonDblClick, at, form_->lbCount->mapToGlobal(at),
                      Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(form_->lbCount, &event);
}

std::string StationTest::iniPath() const {
    return (dir_ / "test.ini").string();
}

bool StationTest::iniExists() const {
    return std::filesystem::exists(dir_ / "test.ini");
}

std::string StationTest::iniText() const {
    std::ifstream file(dir_ / "test.ini", std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

void StationTest::writeIni(const std::string& text) const {
    std::ofstream(dir_ / "test.ini", std::ios::binary) << text;
}

PictureWidget* StationTest::marker(int key) const {
    return dynamic_cast<PictureWidget*>(form_->findWidget(QStringLiteral("imgButton%1").arg(key)));
}

bool StationTest::shows(const PictureWidget* marker, const PictureWidget* source) const {
    return marker->isVisible() && !marker->picture().isNull() &&
           marker->picture().cacheKey() == source->picture().cacheKey();
}

std::vector<int> StationTest::markersShowing(const PictureWidget* source) const {
    std::vector<int> keys;
    for (int key = 1; key <= 6; ++key) {
        if (shows(marker(key), source)) {
            keys.push_back(key);
        }
    }
    return keys;
}

std::vector<int> StationTest::visibleLamps() const {
    std::vector<int> lamps;
    const QWidget* all[] = {form_->Image5, form_->Image9, form_->Image10, form_->Image11,
                            form_->Image12};
    for (int i = 0; i < 5; ++i) {
        if (all[i]->isVisible()) {
            lamps.push_back(i + 1);
        }
    }
    return lamps;
}

bool StationTest::anyTaggedVisible() const {
    for (const QWidget* widget : form_->findChildren<QWidget*>()) {
        if (TMainForm::groupOf(widget) > 0 && widget->isVisible()) {
            return true;
        }
    }
    return false;
}

std::filesystem::path screenshotDirectory() {
    std::filesystem::path dir = QCoreApplication::applicationDirPath().toStdString();
    dir /= "screenshots";
    std::filesystem::create_directories(dir);
    return dir;
}

void saveScreenshot(const QImage& image, const char* name) {
    const auto path = screenshotDirectory() / name;
    image.save(QString::fromStdString(path.string()));
}
