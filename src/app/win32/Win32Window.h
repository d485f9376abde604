// The station's window on Windows: a plain Win32 top-level window that draws
// the station's widget model through a back buffer, runs the station's timer,
// forwards ticks, double-clicks and the close to the station, and shows its
// error box. It decides nothing about a test.
//
// The program declares itself aware of each monitor's DPI (its manifest), so
// Windows does not stretch the window as a bitmap: the window draws the model
// at its monitor's scale, or smaller where that would not fit the work area
// (WindowScale.h), and lays itself out again when it moves to a monitor of
// another scale.
#pragma once

#include "ModelPainter.h"
#include "Pictures.h"
#include "StationWindow.h"
#include "WidgetModel.h"

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// What the window feeds the station; the station's TMainForm in the program.
class IStationCore {
public:
    virtual ~IStationCore() = default;
    virtual const WidgetModel& model() const = 0;
    virtual void timerTick() = 0;
    virtual void doubleClick(int x, int y, MouseButton button) = 0;
    virtual void close() = 0;
};

class Win32Window final : public IStationWindow {
public:
    // Creates the window, hidden, centred on the work area (WindowPlacement.h),
    // for a client area of clientWidth x clientHeight layout pixels.
    Win32Window(HINSTANCE instance, int clientWidth, int clientHeight, const std::wstring& title);
    ~Win32Window() override;
    Win32Window(const Win32Window&) = delete;
    Win32Window& operator=(const Win32Window&) = delete;

    bool valid() const { return hwnd_ != nullptr && buffer_.valid(); }
    HWND handle() const { return hwnd_; }

    // The station whose model is drawn and which gets the events; until then
    // (and after it is detached) ticks and clicks go nowhere.
    void attach(IStationCore* core);
    void show(int how);
    // The message loop, until the window is closed; the program's exit code.
    int run();

    // Brings the back buffer up to date with the model (what a paint shows).
    void render();
    const BackBuffer& backBuffer() const { return buffer_; }
    // The scale the model is drawn at: the client area is the layout times it.
    const LayoutScale& scale() const { return painter_.scale(); }

    // IStationWindow
    void paintNow() override;
    void setTimerInterval(int milliseconds) override;
    void stopTimer() override;
    void showErrorBox(const std::string& text) override;

private:
    static LRESULT CALLBACK windowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT handle(UINT message, WPARAM wParam, LPARAM lParam);
    // Runs one event of the station, then marks what it changed for painting.
    void deliver(const std::function<void()>& event);
    void invalidateChanges();
    void onPaint();
    bool onSetCursor();
    // Draws at the scale for this DPI on the work area of the primary monitor,
    // where the window opens, or of the monitor under `suggested` (Windows'
    // rectangle for a window that moved to a monitor of that DPI), and sizes
    // and places the window for it.
    void applyDpi(UINT dpi, const RECT* suggested);

    HINSTANCE instance_;
    int layoutWidth_;
    int layoutHeight_;
    HWND hwnd_ = nullptr;
    std::wstring title_;
    PictureSet pictures_;
    ModelPainter painter_;
    BackBuffer buffer_; // after the painter: its DC may hold one of the painter's fonts
    IStationCore* core_ = nullptr;
    // Each widget as last drawn (its revision, and what tells how much of it a
    // new revision changes), and the whole model's revision.
    struct Drawn {
        std::uint64_t revision = 0;
        bool visible = false;
        std::string text;
    };
    std::vector<Drawn> drawn_;
    std::uint64_t drawnRevision_ = ~std::uint64_t{0};
    int interval_ = 0;        // the timer's interval while it runs, 0 when stopped
    bool delivering_ = false; // a station event is running (possibly in a modal loop)
    bool boxOpen_ = false;
    bool closeAsked_ = false; // closed while the error box was open
};
