#include "StationFixture.h"

#include "Hid.h"
#include "SetupApi.h"

#include <cstdlib>
#include <fstream>
#include <random>
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
    // A directory of its own for this test's counters file (the same code runs
    // on Windows, where there is no mkdtemp).
    static std::mt19937_64 random{std::random_device{}()};
    std::error_code error;
    do {
        dir_ = std::filesystem::temp_directory_path() /
               ("station-" + std::to_string(random() % 1000000000));
    } while (!std::filesystem::create_directory(dir_, error) && !error);
    ASSERT_FALSE(error) << error.message();
    sim::machine().setModuleFileName((dir_ / "evaluator-station").string());
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
    form_ = std::make_unique<TMainForm>(window_, std::move(kinds));
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
    form_->timerTick();
}

void StationTest::doubleClickCount(MouseButton button) {
    const WidgetRect& label = form_->lbCount->geometry();
    form_->doubleClick(label.left + label.width / 2, label.top + label.height / 2, button);
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

std::string StationTest::lastError() const {
    return window_.errors.empty() ? std::string() : window_.errors.back();
}

Widget* StationTest::marker(int key) const {
    return form_->findWidget("imgButton" + std::to_string(key));
}

bool StationTest::shows(const Widget* marker, const Widget* source) const {
    return marker->isVisible() && !marker->picture().empty() &&
           marker->picture() == source->picture();
}

std::vector<int> StationTest::markersShowing(const Widget* source) const {
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
    const Widget* all[] = {form_->Image5, form_->Image9, form_->Image10, form_->Image11,
                           form_->Image12};
    for (int i = 0; i < 5; ++i) {
        if (all[i]->isVisible()) {
            lamps.push_back(i + 1);
        }
    }
    return lamps;
}

bool StationTest::anyTaggedVisible() const {
    for (const auto& widget : form_->model().widgets()) {
        if (widget->group() > 0 && widget->isVisible()) {
            return true;
        }
    }
    return false;
}
