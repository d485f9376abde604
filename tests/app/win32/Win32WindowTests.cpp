// The Win32 window with the station core on scripted link kinds: what its back
// buffer shows in the four main states (kept as states/*.bmp beside this
// program, and compared with the Qt window's drawing of the same states when
// the native suite has left its states/*.png), how it maps the mouse, and that
// a station event is never entered again from inside itself.
#include "FormCore.h"
#include "OneStation.h"
#include "ScreenChecks.h"
#include "StationFixture.h"
#include "Utf16.h"
#include "Win32Window.h"

#include <objbase.h>
#include <wincodec.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

Image copyOf(const BackBuffer& buffer) {
    return Image{buffer.width(), buffer.height(), buffer.pixels()};
}

// What the screen shows of a window's client area (in a Wine virtual desktop
// too: its screen is that desktop).
Image onScreen(HWND hwnd) {
    RECT client{};
    GetClientRect(hwnd, &client);
    POINT origin{0, 0};
    ClientToScreen(hwnd, &origin);
    BackBuffer copy(client.right, client.bottom);
    HDC screen = GetDC(nullptr);
    BitBlt(copy.dc(), 0, 0, client.right, client.bottom, screen, origin.x, origin.y, SRCCOPY);
    ReleaseDC(nullptr, screen);
    return copyOf(copy);
}

// A PNG written by the Qt window's tests, decoded by WIC.
std::optional<Image> loadPng(const std::wstring& path) {
    IWICImagingFactory* factory = nullptr;
    if (FAILED(CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER,
                                IID_IWICImagingFactory, reinterpret_cast<void**>(&factory)))) {
        return std::nullopt;
    }
    std::optional<Image> result;
    IWICBitmapDecoder* decoder = nullptr;
    IWICBitmapFrameDecode* frame = nullptr;
    IWICFormatConverter* converter = nullptr;
    UINT width = 0;
    UINT height = 0;
    if (SUCCEEDED(factory->CreateDecoderFromFilename(path.c_str(), nullptr, GENERIC_READ,
                                                     WICDecodeMetadataCacheOnDemand, &decoder)) &&
        SUCCEEDED(decoder->GetFrame(0, &frame)) &&
        SUCCEEDED(factory->CreateFormatConverter(&converter)) &&
        SUCCEEDED(converter->Initialize(frame, GUID_WICPixelFormat32bppBGR, WICBitmapDitherTypeNone,
                                        nullptr, 0.0, WICBitmapPaletteTypeCustom)) &&
        SUCCEEDED(converter->GetSize(&width, &height))) {
        Image image{static_cast<int>(width), static_cast<int>(height), {}};
        image.pixels.resize(static_cast<std::size_t>(width) * height);
        if (SUCCEEDED(converter->CopyPixels(nullptr, width * 4, width * height * 4,
                                            reinterpret_cast<BYTE*>(image.pixels.data())))) {
            for (auto& pixel : image.pixels) {
                pixel &= 0xFFFFFFu;
            }
            result = std::move(image);
        }
    }
    for (IUnknown* object : {static_cast<IUnknown*>(converter), static_cast<IUnknown*>(frame),
                             static_cast<IUnknown*>(decoder), static_cast<IUnknown*>(factory)}) {
        if (object) {
            object->Release();
        }
    }
    return result;
}

int channelDifference(std::uint32_t a, std::uint32_t b) {
    int worst = 0;
    for (int shift = 0; shift <= 16; shift += 8) {
        const int ca = static_cast<int>((a >> shift) & 0xFF);
        const int cb = static_cast<int>((b >> shift) & 0xFF);
        worst = std::max(worst, std::abs(ca - cb));
    }
    return worst;
}

bool isYellow(std::uint32_t pixel) {
    const int r = static_cast<int>(pixel >> 16 & 0xFF);
    const int g = static_cast<int>(pixel >> 8 & 0xFF);
    const int b = static_cast<int>(pixel & 0xFF);
    return r > 180 && g > 150 && b < 100;
}

std::wstring programDirectory() {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    return std::filesystem::path(path).parent_path().wstring();
}

// Where the native suite's Qt window tests leave their four states.
std::wstring qtStatesDirectory() {
    if (const char* dir = std::getenv("EVALUATOR_QT_STATES")) {
        return wideText(dir);
    }
    return wideText(EVALUATOR_QT_STATES);
}

class Win32WindowTest : public StationTest {
protected:
    void SetUp() override {
        StationTest::SetUp();
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    }
    void TearDown() override {
        stopStation();
        StationTest::TearDown();
        CoUninitialize();
    }

    // The station in a real (hidden) window; the tests tick it themselves.
    void startStation(std::initializer_list<std::pair<FakeKind*, const char*>> kinds) {
        window_ = std::make_unique<Win32Window>(GetModuleHandleW(nullptr), kClientWidth,
                                                kClientHeight, stationTitle());
        if (!window_->valid()) {
            throw std::runtime_error("no window: Wine needs an X server (DISPLAY)");
        }
        std::vector<LinkKind> entries;
        for (const auto& [kind, text] : kinds) {
            entries.push_back(kind->entry(text));
        }
        form_ = std::make_unique<TMainForm>(*window_, std::move(entries));
        core_ = std::make_unique<FormCore>(*form_);
        window_->attach(core_.get());
        window_->stopTimer();
    }
    void stopStation() {
        if (window_) {
            window_->attach(nullptr);
        }
        form_.reset();
        core_.reset();
        window_.reset();
    }
    // Ticks as the window's timer delivers them.
    void tickWindow(int count) {
        for (int i = 0; i < count; ++i) {
            SendMessageW(window_->handle(), WM_TIMER, 1, 0);
        }
    }
    Image drawn() {
        window_->render();
        return copyOf(window_->backBuffer());
    }
    void keep(const BackBuffer& buffer, const char* name) {
        const char* screen = std::getenv("EVALUATOR_SCREEN"); // a folder per screen
        const std::wstring dir = programDirectory() + L"\\" + wideText(screen ? screen : "states");
        CreateDirectoryW(dir.c_str(), nullptr);
        EXPECT_TRUE(buffer.saveBmp(dir + L"\\" + wideText(name) + L".bmp"));
    }

    // The four states of the comparison, in the order the Qt window's tests
    // draw them: idle after five ticks, key 3 asked, passed, failed (key 4
    // asked, key 5 pressed). With a check, the window is on the screen and
    // the check runs in each state on what its own repaints left there.
    std::map<std::string, Image> drawStates(std::function<void(const std::string&)> check = {}) {
        std::map<std::string, Image> states;
        auto capture = [&](const char* name) {
            if (check) {
                window_->show(SW_SHOWNOACTIVATE);
                window_->paintNow();
                check(name);
            }
            states[name] = drawn();
            keep(window_->backBuffer(), name);
        };
        FakeKind hid;
        startStation({{&hid, "HID"}});
        tickWindow(5);
        capture("idle");
        hid.present = true;
        hid.keys = {1, 2, 3, 4, 5, 6};
        hid.onWaitKey = [&](int key) {
            if (key == 3 && hid.keys.size() == 3) {
                capture("key-asked"); // the station has just had the window paint
            }
        };
        tickWindow(8);
        capture("passed");
        EXPECT_EQ(form_->lbCount->text(), "1/1");
        stopStation();

        std::filesystem::remove(iniPath());
        FakeKind failing;
        failing.present = true;
        failing.keys = {1, 2, 3, 5};
        startStation({{&failing, "HID"}});
        tickWindow(6);
        capture("failed");
        EXPECT_EQ(form_->lbCount->text(), "0/1");
        stopStation();
        return states;
    }

    std::unique_ptr<Win32Window> window_;
    std::unique_ptr<FormCore> core_;
};

// The pictures' places: result and power pictures, lamps and key markers.
std::vector<std::pair<std::string, WidgetRect>> picturePlaces() {
    FakeWindow window;
    TMainForm form(window, {});
    std::vector<std::pair<std::string, WidgetRect>> places;
    for (const auto& widget : form.model().widgets()) {
        if (widget->group() > 0) {
            places.emplace_back(widget->objectName(), widget->geometry());
        }
    }
    return places;
}

TEST_F(Win32WindowTest, DrawsThePicturesOfEachStateInTheirPlaces) {
    const auto states = drawStates();
    ASSERT_EQ(states.size(), 4u);
    const Image& idle = states.at("idle");
    const Image& asked = states.at("key-asked");
    const Image& passed = states.at("passed");
    // Idle: no lamp, marker or result picture; the photograph shows through.
    // Key 3 asked: its marker (379, 469) shows the yellow hint, markers 1 and 2
    // the green tick. Passed: the large tick over (224, 40).
    auto centre = [](const Image& image, int left, int top) {
        return image.at(left + 23, top + 17);
    };
    EXPECT_FALSE(isYellow(centre(idle, 379, 469)));
    EXPECT_TRUE(isYellow(centre(asked, 379, 469)));
    EXPECT_FALSE(isYellow(centre(asked, 429, 449)));
    auto changedIn = [&](const Image& a, const Image& b, WidgetRect box) {
        int changed = 0;
        for (int y = box.top; y < box.top + box.height; ++y) {
            for (int x = box.left; x < box.left + box.width; ++x) {
                changed += channelDifference(a.at(x, y), b.at(x, y)) > 40;
            }
        }
        return changed;
    };
    EXPECT_GT(changedIn(idle, passed, {224, 40, 200, 200}), 4000) << "the large tick";
    EXPECT_GT(changedIn(idle, states.at("failed"), {224, 40, 200, 200}), 4000) << "the cross";
    EXPECT_EQ(changedIn(idle, asked, {224, 40, 200, 200}), 0) << "no result while asking";
    int changed = 0;
    for (int y = 319; y < 337; ++y) {
        for (int x = 323; x < 340; ++x) {
            changed += channelDifference(idle.at(x, y), passed.at(x, y)) > 40;
        }
    }
    EXPECT_GT(changed, 20) << "lamp 1 is lit once the test runs";
    EXPECT_EQ(idle.at(5, 5), 0u) << "the window's black beside the photograph";
}

// Both windows put the same pictures in the same places.
TEST_F(Win32WindowTest, DrawsTheStatesAsTheQtWindowDoes) {
    const std::wstring qtDir = qtStatesDirectory();
    if (GetFileAttributesW((qtDir + L"\\idle.png").c_str()) == INVALID_FILE_ATTRIBUTES) {
        GTEST_SKIP() << "no states from the Qt window's tests (run the native suite first)";
    }
    const auto states = drawStates();
    for (const auto& [name, ours] : states) {
        SCOPED_TRACE(name);
        const auto theirs = loadPng(qtDir + L"\\" + wideText(name) + L".png");
        ASSERT_TRUE(theirs.has_value());
        ASSERT_EQ(theirs->width, ours.width);
        ASSERT_EQ(theirs->height, ours.height);
        for (const auto& [widget, place] : picturePlaces()) {
            // JPEG decoders differ by a few levels; a picture in the wrong
            // place or missing differs by far more, over many pixels.
            int off = 0;
            int worst = 0;
            for (int y = place.top; y < place.top + place.height; ++y) {
                for (int x = place.left; x < place.left + place.width; ++x) {
                    const int difference = channelDifference(ours.at(x, y), theirs->at(x, y));
                    worst = std::max(worst, difference);
                    off += difference > 24;
                }
            }
            EXPECT_LE(off, place.width * place.height / 100)
                << widget << ": " << off << " pixels differ, by up to " << worst;
        }
    }
}

// The station resets the count on a left double-click only; the window passes
// every button's double-click on as that button, at the point of the layout
// under it: here after a move to a monitor at 150 %, which Windows suggests a
// place for partly off the work area (the window is drawn and placed anew).
TEST_F(Win32WindowTest, PassesEachButtonsDoubleClickOn) {
    struct Case {
        UINT message;
        const char* count;
    };
    for (const Case& c : {Case{WM_RBUTTONDBLCLK, "3/5"}, Case{WM_MBUTTONDBLCLK, "3/5"},
                          Case{WM_LBUTTONDBLCLK, "0/0"}}) {
        writeIni("[COUNT]\r\nPassed=3\r\nTotal=5\r\n");
        FakeKind none;
        startStation({{&none, "HID"}});
        RECT suggested{-50, 40, 1500, 1400};
        SendMessageW(window_->handle(), 0x02E0, MAKEWPARAM(144, 144),
                     reinterpret_cast<LPARAM>(&suggested)); // WM_DPICHANGED
        const LayoutScale& scale = window_->scale();
        RECT outer{};
        GetWindowRect(window_->handle(), &outer);
        EXPECT_TRUE(outer.left == 0 && scale.factor() > 1.0 &&
                    window_->backBuffer().width() == scale.toDevice(kClientWidth));
        SendMessageW(window_->handle(), c.message, MK_LBUTTON,
                     MAKELPARAM(scale.toDevice(600), scale.toDevice(50)));
        EXPECT_EQ(form_->lbCount->text(), c.count) << c.message;
        stopStation();
    }
    EXPECT_NE(iniText().find("Total=0"), std::string::npos);
}

// A message loop run inside a station event (a modal box, or anything else
// that pumps messages during a key wait) must not start another tick.
TEST_F(Win32WindowTest, NeverEntersATickFromInsideOne) {
    FakeKind hid;
    hid.present = true;
    hid.keys = {1, 2, 3, 4, 5, 6};
    startStation({{&hid, "HID"}});
    hid.onWaitKey = [&](int) {
        SendMessageW(window_->handle(), WM_TIMER, 1, 0);
        SendMessageW(window_->handle(), WM_LBUTTONDBLCLK, MK_LBUTTON, MAKELPARAM(600, 50));
    };
    tickWindow(8);
    EXPECT_EQ(std::count(hid.log.begin(), hid.log.end(), "WaitKey 5000"), 6);
    EXPECT_EQ(form_->lbCount->text(), "1/1") << "no reset ran inside the key waits";
    stopStation(); // before the kind its device object reports its end to
}

// Shown, the window repaints only the strip of the status line that an idle
// tick changed, and through a test and back it still shows a whole repaint.
TEST_F(Win32WindowTest, RepaintsOnlyWhatATickChanged) {
    FakeKind hid;
    startStation({{&hid, "HID"}});
    window_->show(SW_SHOWNOACTIVATE);
    // The status line as DrawTextW draws its whole text, spaces and all.
    FontCache fonts;
    BackBuffer plain(kClientWidth, kClientHeight);
    int misdrawn = 0;
    auto compareStatus = [&] {
        const Widget& status = *form_->lbStatus;
        const WidgetRect& box = status.geometry();
        RECT area{box.left, box.top, box.left + box.width, box.top + box.height};
        FillRect(plain.dc(), &area, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));
        const WidgetFont& font = status.font();
        SelectObject(plain.dc(), fonts.get(font.family, font.pixelHeight, font.bold));
        SetTextColor(plain.dc(), RGB(255, 255, 255));
        SetBkMode(plain.dc(), TRANSPARENT);
        const std::wstring text = wideText(status.text());
        DrawTextW(plain.dc(), text.c_str(), static_cast<int>(text.size()), &area,
                  DT_LEFT | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX);
        for (int y = box.top; y < box.top + box.height; ++y) {
            for (int x = box.left; x < box.left + box.width; ++x) {
                misdrawn += plain.pixel(x, y) != window_->backBuffer().pixel(x, y);
            }
        }
    };
    std::vector<LONG> widths;
    hid.keys = {1, 2, 3, 4, 5, 7};
    for (int tick = 0; tick < 64; ++tick) {
        hid.present = tick >= 50 && tick < 58; // idle (the marquee), a failing test, idle
        tickWindow(1);
        RECT update{};
        GetUpdateRect(window_->handle(), &update, FALSE);
        widths.push_back(update.right - update.left);
        UpdateWindow(window_->handle());
        if (tick < 50) {
            compareStatus();
        }
    }
    EXPECT_EQ(misdrawn, 0) << "pixels of the marquee that differ from DrawTextW's";
    // From tick 5 (the first paint is the whole window) the marquee goes both ways.
    EXPECT_LT(*std::max_element(widths.begin() + 5, widths.begin() + 50),
              form_->lbStatus->geometry().width / 3);
    const Image painted = copyOf(window_->backBuffer()); // before drawn() paints it whole
    EXPECT_TRUE(painted.pixels == drawn().pixels);
    stopStation(); // before the kind its device object reports its end to
}

// The window on this screen at its scale, in every state (ScreenChecks.h):
// CTest runs this through screens.sh for each scale and screen of a table,
// named in EVALUATOR_SCREEN ("144 1920x1080").
TEST_F(Win32WindowTest, ShowsEachStateAtTheScreensScale) {
    PictureSet sources(GetModuleHandleW(nullptr));
    ModelPainter labels(sources); // at 1: a label of the scaled size, in the scaled font
    drawStates([&](const std::string& state) {
        SCOPED_TRACE(state);
        HWND hwnd = window_->handle();
        HDC screen = GetDC(nullptr);
        const int dpi = GetDeviceCaps(screen, LOGPIXELSY);
        ReleaseDC(nullptr, screen);
        MONITORINFO monitor{sizeof(monitor), {}, {}, 0};
        GetMonitorInfoW(MonitorFromWindow(hwnd, MONITOR_DEFAULTTONEAREST), &monitor);
        RECT outer{};
        GetWindowRect(hwnd, &outer);
        auto area = [](const RECT& r) {
            return ScreenArea{r.left, r.top, r.right - r.left, r.bottom - r.top};
        };
        const ScreenArea all = area(monitor.rcMonitor);
        const Image shot = onScreen(hwnd);
        ASSERT_TRUE(shot.pixels == drawn().pixels) << "the screen shows the whole model";
        expectShown(
            form_->model(), shot, window_->scale(),
            std::to_string(dpi) + " " + std::to_string(all.width) + "x" +
                std::to_string(all.height),
            dpi / 96.0, area(monitor.rcWork), area(outer),
            [&](const Widget& widget) {
                const Picture* own = sources.find(widget.picture());
                return own ? Image{own->width, own->height,
                                   std::vector(own->bits, own->bits + own->width * own->height)}
                           : Image{};
            },
            [&](const Widget& label, const WidgetFont& font, const WidgetRect& area) {
                Widget alone(WidgetKind::Label, "", {0, 0, area.width, area.height}, 0, true);
                alone.setFont(font);
                alone.setAlignment(label.alignment());
                alone.setText(label.text());
                BackBuffer buffer(area.width, area.height);
                labels.paintLabel(buffer.dc(), alone);
                return copyOf(buffer);
            });
    });
}

// A count too wide for its label is drawn whole in a smaller font.
TEST_F(Win32WindowTest, ShrinksALongCountToFitItsLabel) {
    FakeKind none;
    startStation({{&none, "HID"}});
    form_->lbCount->setText("12346/12347");
    const Image image = drawn();
    const WidgetRect& label = form_->lbCount->geometry();
    int leftmost = label.left + label.width;
    for (int y = label.top; y < label.top + label.height; ++y) {
        for (int x = label.left; x < label.left + label.width; ++x) {
            if ((image.at(x, y) & 0xFF) > 128) {
                leftmost = std::min(leftmost, x);
            }
        }
    }
    EXPECT_GT(leftmost, label.left) << "the text starts inside the label: nothing cut off";
    EXPECT_LT(leftmost, label.left + label.width / 3) << "the long count uses most of it";
}

// One station per counters file, its path compared as Windows compares paths:
// case, '/', "." and "..", the folder's short name.
TEST_F(Win32WindowTest, OneStationPerCountersFileWhateverItsSpelling) {
    const std::filesystem::path folder = std::filesystem::temp_directory_path() / "Station Folder";
    std::filesystem::create_directories(folder / "sub");
    wchar_t shortName[MAX_PATH] = {};
    GetShortPathNameW(folder.c_str(), shortName, MAX_PATH);
    const StationClaim first(toUtf8(folder.wstring() + L"\\test.ini"));
    EXPECT_FALSE(first.heldElsewhere());
    for (const std::wstring& other :
         {std::wstring(shortName) + L"\\TEST.INI", folder.wstring() + L"/sub/../test.ini"}) {
        EXPECT_TRUE(StationClaim(toUtf8(other)).heldElsewhere()) << toUtf8(other);
    }
    EXPECT_FALSE(StationClaim(toUtf8(folder.wstring() + L"\\sub\\test.ini")).heldElsewhere());
}

} // namespace
