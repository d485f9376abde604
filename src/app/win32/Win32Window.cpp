#include "Win32Window.h"

#include "WindowPlacement.h"

#include <windowsx.h>

#include <cstring>

namespace {

constexpr wchar_t kClassName[] = L"EvaluatorStationWindow";
constexpr UINT_PTR kTimerId = 1; // the station's one timer: SetTimer again with it restarts it

ATOM registerClass(HINSTANCE instance, WNDPROC procedure) {
    static ATOM atom = 0;
    if (atom == 0) {
        WNDCLASSEXW windowClass{};
        windowClass.cbSize = sizeof(windowClass);
        windowClass.style = CS_DBLCLKS; // without it Windows sends no double-clicks
        windowClass.lpfnWndProc = procedure;
        windowClass.hInstance = instance;
        // The program's own icon (resource 1), Windows' generic one without it.
        windowClass.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(1));
        windowClass.hIconSm = static_cast<HICON>(
            LoadImageW(instance, MAKEINTRESOURCEW(1), IMAGE_ICON, GetSystemMetrics(SM_CXSMICON),
                       GetSystemMetrics(SM_CYSMICON), LR_DEFAULTCOLOR));
        if (!windowClass.hIcon) {
            windowClass.hIcon = LoadIconW(nullptr, MAKEINTRESOURCEW(32512)); // IDI_APPLICATION
        }
        windowClass.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512)); // IDC_ARROW
        windowClass.hbrBackground = static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH));
        windowClass.lpszClassName = kClassName;
        atom = RegisterClassExW(&windowClass);
    }
    return atom;
}

// A fixed dialog frame, standing in the task bar: a title and a close box,
// nothing to resize, maximise or minimise (as the Linux window).
constexpr DWORD kStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU;
constexpr DWORD kExStyle = WS_EX_APPWINDOW;
constexpr UINT kDpiChanged = 0x02E0; // WM_DPICHANGED (Windows 8.1)
constexpr UINT kLayoutDpi = 96;

// A user32 function of a newer Windows than 7, null where it has none.
template <class Function> Function newerUser32(const char* name) {
    Function function = nullptr;
    if (HMODULE user32 = GetModuleHandleW(L"user32.dll")) {
        const FARPROC address = GetProcAddress(user32, name);
        static_assert(sizeof(address) == sizeof(function));
        std::memcpy(&function, &address, sizeof(function));
    }
    return function;
}

// The DPI Windows draws the window at: its monitor's on Windows 10 (1607 on),
// the system's before (Windows 7 has one DPI for all monitors; 8.1 tells a
// monitor's in WM_DPICHANGED).
UINT windowDpi(HWND hwnd) {
    using GetDpiForWindow = UINT(WINAPI*)(HWND);
    static const auto forWindow = newerUser32<GetDpiForWindow>("GetDpiForWindow");
    UINT dpi = hwnd && forWindow ? forWindow(hwnd) : 0;
    if (dpi == 0) {
        HDC screen = GetDC(nullptr);
        dpi = screen ? static_cast<UINT>(GetDeviceCaps(screen, LOGPIXELSX)) : kLayoutDpi;
        if (screen) {
            ReleaseDC(nullptr, screen);
        }
    }
    return dpi > 0 ? dpi : kLayoutDpi;
}

// The frame's width and height around a client area at that DPI (its caption
// and borders grow with it on Windows 10).
SIZE frameAt(UINT dpi) {
    using AdjustForDpi = BOOL(WINAPI*)(LPRECT, DWORD, BOOL, DWORD, UINT);
    static const auto adjustForDpi = newerUser32<AdjustForDpi>("AdjustWindowRectExForDpi");
    RECT frame{0, 0, 0, 0};
    if (!adjustForDpi || !adjustForDpi(&frame, kStyle, FALSE, kExStyle, dpi)) {
        AdjustWindowRectEx(&frame, kStyle, FALSE, kExStyle);
    }
    return SIZE{frame.right - frame.left, frame.bottom - frame.top};
}

ScreenArea workAreaOf(HMONITOR monitor) {
    MONITORINFO info{};
    info.cbSize = sizeof(info);
    info.rcWork = {0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
    GetMonitorInfoW(monitor, &info);
    const RECT& work = info.rcWork;
    return {work.left, work.top, work.right - work.left, work.bottom - work.top};
}

} // namespace

Win32Window::Win32Window(HINSTANCE instance, int clientWidth, int clientHeight,
                         const std::wstring& title)
    : instance_(instance), layoutWidth_(clientWidth), layoutHeight_(clientHeight), title_(title),
      pictures_(instance), painter_(pictures_), buffer_(clientWidth, clientHeight) {
    if (!registerClass(instance, &Win32Window::windowProc)) {
        return;
    }
    // Made at its size for the primary monitor, where a new top-level window
    // opens; then at its own monitor's DPI, which Windows 10 may tell apart.
    hwnd_ =
        CreateWindowExW(kExStyle, kClassName, title_.c_str(), kStyle, CW_USEDEFAULT, CW_USEDEFAULT,
                        clientWidth, clientHeight, nullptr, nullptr, instance, this);
    if (hwnd_) {
        applyDpi(windowDpi(hwnd_), nullptr);
    }
}

void Win32Window::applyDpi(UINT dpi, const RECT* suggested) {
    const HMONITOR monitor = suggested ? MonitorFromRect(suggested, MONITOR_DEFAULTTONEAREST)
                                       : MonitorFromPoint(POINT{0, 0}, MONITOR_DEFAULTTOPRIMARY);
    const ScreenArea work = workAreaOf(monitor);
    const SIZE frame = frameAt(dpi);
    const LayoutScale scale = fittingScale(static_cast<double>(dpi) / kLayoutDpi, work, frame.cx,
                                           frame.cy, layoutWidth_, layoutHeight_);
    const int clientWidth = scale.toDevice(layoutWidth_);
    const int clientHeight = scale.toDevice(layoutHeight_);
    if (clientWidth != buffer_.width() || clientHeight != buffer_.height()) {
        buffer_.resize(clientWidth, clientHeight);
    }
    painter_.setScale(scale);
    drawn_.clear(); // everything is drawn again, at the new scale
    const int width = clientWidth + frame.cx;
    const int height = clientHeight + frame.cy;
    const ScreenPoint at =
        suggested ? keepOnWorkArea(work, {suggested->left, suggested->top}, width, height)
                  : placeOnWorkArea(work, width, height);
    SetWindowPos(hwnd_, nullptr, at.x, at.y, width, height, SWP_NOZORDER | SWP_NOACTIVATE);
    InvalidateRect(hwnd_, nullptr, FALSE);
}

Win32Window::~Win32Window() {
    core_ = nullptr;
    if (hwnd_) {
        DestroyWindow(hwnd_);
    }
}

void Win32Window::attach(IStationCore* core) {
    core_ = core;
    drawn_.clear();
    drawnRevision_ = ~std::uint64_t{0};
    if (hwnd_) {
        InvalidateRect(hwnd_, nullptr, FALSE);
    }
}

void Win32Window::show(int how) {
    if (hwnd_) {
        ShowWindow(hwnd_, how);
        UpdateWindow(hwnd_);
    }
}

int Win32Window::run() {
    MSG message{};
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return static_cast<int>(message.wParam);
}

void Win32Window::render() {
    if (!core_ || !buffer_.valid()) {
        return;
    }
    invalidateChanges();
    painter_.paint(core_->model(), buffer_);
}

void Win32Window::paintNow() {
    invalidateChanges();
    if (hwnd_) {
        RedrawWindow(hwnd_, nullptr, nullptr, RDW_UPDATENOW | RDW_ALLCHILDREN);
        // Wine draws into a copy of the window and puts it on the X screen only
        // when the thread looks for messages: a zero wait that takes none does
        // that, so the hint is on screen during the key wait that follows.
        (void)MsgWaitForMultipleObjects(0, nullptr, FALSE, 0, QS_ALLINPUT);
    }
}

void Win32Window::setTimerInterval(int milliseconds) {
    interval_ = milliseconds > 0 ? milliseconds : USER_TIMER_MINIMUM;
    if (hwnd_ && !boxOpen_) {
        SetTimer(hwnd_, kTimerId, static_cast<UINT>(interval_), nullptr);
    }
}

void Win32Window::stopTimer() {
    interval_ = 0;
    if (hwnd_) {
        KillTimer(hwnd_, kTimerId);
    }
}

void Win32Window::showErrorBox(const std::string& text) {
    // The box's own message loop would deliver WM_TIMER into the tick that is
    // showing it: the timer rests while the box is open and starts again from
    // its full interval after OK.
    // What the handler changed before it failed is painted while the box shows.
    invalidateChanges();
    boxOpen_ = true;
    if (hwnd_) {
        KillTimer(hwnd_, kTimerId);
    }
    // Owned by the station's window and brought to the front: while it is open
    // the station picks up no evaluator, so it must not wait behind other windows.
    MessageBoxW(hwnd_, wideText(text).c_str(), title_.c_str(),
                MB_OK | MB_ICONERROR | MB_SETFOREGROUND | MB_TOPMOST);
    boxOpen_ = false;
    if (hwnd_ && interval_ > 0) {
        SetTimer(hwnd_, kTimerId, static_cast<UINT>(interval_), nullptr);
    }
}

LRESULT CALLBACK Win32Window::windowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        auto* create = reinterpret_cast<CREATESTRUCTW*>(lParam);
        auto* self = static_cast<Win32Window*>(create->lpCreateParams);
        self->hwnd_ = hwnd;
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
        // Windows 10 1607 scales the caption of a per-monitor window only when
        // asked (from 1703 the manifest's PerMonitorV2 does it).
        using EnableScaling = BOOL(WINAPI*)(HWND);
        if (const auto enable = newerUser32<EnableScaling>("EnableNonClientDpiScaling")) {
            enable(hwnd);
        }
    }
    auto* self = reinterpret_cast<Win32Window*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (!self) {
        return DefWindowProcW(hwnd, message, wParam, lParam);
    }
    if (message == WM_NCDESTROY) {
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
        self->hwnd_ = nullptr;
        return DefWindowProcW(hwnd, message, wParam, lParam);
    }
    return self->handle(message, wParam, lParam);
}

LRESULT Win32Window::handle(UINT message, WPARAM wParam, LPARAM lParam) {
    // A click's place in the layout: the model is hit-tested in its own pixels.
    const ScreenPoint at = painter_.scale().toLayout(GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam));
    const int x = at.x;
    const int y = at.y;
    switch (message) {
    case kDpiChanged:
        applyDpi(HIWORD(wParam), reinterpret_cast<const RECT*>(lParam));
        return 0;
    case WM_PAINT:
        onPaint();
        return 0;
    case WM_ERASEBKGND:
        return 1; // the back buffer covers every pixel
    case WM_TIMER:
        if (wParam == kTimerId && !boxOpen_) {
            deliver([this] { core_->timerTick(); });
        }
        return 0;
    case WM_LBUTTONDBLCLK:
        deliver([this, x, y] { core_->doubleClick(x, y, MouseButton::Left); });
        return 0;
    case WM_RBUTTONDBLCLK:
        deliver([this, x, y] { core_->doubleClick(x, y, MouseButton::Right); });
        return 0;
    case WM_MBUTTONDBLCLK:
        deliver([this, x, y] { core_->doubleClick(x, y, MouseButton::Middle); });
        return 0;
    case WM_SETCURSOR:
        if (LOWORD(lParam) == HTCLIENT && onSetCursor()) {
            return TRUE;
        }
        break;
    case WM_CLOSE:
        if (delivering_) { // inside a station event (its error box): close after it
            closeAsked_ = true;
            return 0;
        }
        stopTimer();
        deliver([this] { core_->close(); });
        core_ = nullptr; // nothing reaches the station after its FormClose
        DestroyWindow(hwnd_);
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    default:
        break;
    }
    return DefWindowProcW(hwnd_, message, wParam, lParam);
}

void Win32Window::deliver(const std::function<void()>& event) {
    // The station's events run one after another: a message that arrives while
    // one runs (from a modal loop inside it) does not start another.
    if (!core_ || delivering_) {
        return;
    }
    delivering_ = true;
    event();
    delivering_ = false;
    invalidateChanges();
    if (closeAsked_ && hwnd_) {
        closeAsked_ = false;
        PostMessageW(hwnd_, WM_CLOSE, 0, 0);
    }
}

void Win32Window::invalidateChanges() {
    if (!core_) {
        return;
    }
    const WidgetModel& model = core_->model();
    if (model.revision() == drawnRevision_ && !drawn_.empty()) {
        return;
    }
    const auto& widgets = model.widgets();
    const bool all = drawn_.size() != widgets.size();
    if (all) {
        drawn_.assign(widgets.size(), Drawn{});
        if (hwnd_) {
            InvalidateRect(hwnd_, nullptr, FALSE);
        }
    }
    for (std::size_t i = 0; i < widgets.size(); ++i) {
        const Widget& widget = *widgets[i];
        Drawn& seen = drawn_[i];
        if (!all && widget.revision() == seen.revision) {
            continue;
        }
        RECT rect = painter_.deviceRect(widget);
        // A label that stays on screen and changes its text only: the part of
        // it the new text changes.
        if (!all && widget.kind() == WidgetKind::Label && widget.isVisible() && seen.visible &&
            buffer_.valid()) {
            rect = painter_.changedPart(buffer_.dc(), widget, seen.text);
        }
        seen = Drawn{widget.revision(), widget.isVisible(), widget.text()};
        if (hwnd_ && !IsRectEmpty(&rect)) {
            InvalidateRect(hwnd_, &rect, FALSE);
        }
    }
    drawnRevision_ = model.revision();
}

void Win32Window::onPaint() {
    PAINTSTRUCT paint{};
    HDC dc = BeginPaint(hwnd_, &paint);
    if (core_ && buffer_.valid()) {
        const RECT& area = paint.rcPaint;
        // Only the part that changed is drawn again into the buffer. Its DC
        // has no clip region of its own: dropping this one is cheaper than
        // SaveDC and RestoreDC, which select the fonts again under Wine.
        IntersectClipRect(buffer_.dc(), area.left, area.top, area.right, area.bottom);
        painter_.paint(core_->model(), buffer_);
        SelectClipRgn(buffer_.dc(), nullptr);
        BitBlt(dc, area.left, area.top, area.right - area.left, area.bottom - area.top,
               buffer_.dc(), area.left, area.top, SRCCOPY);
    } else {
        FillRect(dc, &paint.rcPaint, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));
    }
    EndPaint(hwnd_, &paint);
}

bool Win32Window::onSetCursor() {
    if (!core_) {
        return false;
    }
    POINT point{};
    GetCursorPos(&point);
    ScreenToClient(hwnd_, &point);
    const ScreenPoint at = painter_.scale().toLayout(point.x, point.y);
    const Widget* widget = core_->model().widgetAt(at.x, at.y);
    if (widget && widget->handCursor()) {
        SetCursor(LoadCursorW(nullptr, MAKEINTRESOURCEW(32649))); // IDC_HAND
        return true;
    }
    return false;
}
