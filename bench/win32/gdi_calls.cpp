// What each GDI call of the station's idle repaint costs under Wine, timed in
// a loop: the calls the painter makes for the status line each tick (font
// selection, clip, fill, text, the copy to the window), beside the reference
// program's paint of one small rectangle. Printed in microseconds per call;
// a bench, not a test.
//   gdi_calls.exe    (bench/wine_gdi_calls.sh builds and runs it)
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

double microseconds() {
    LARGE_INTEGER count{};
    LARGE_INTEGER frequency{};
    QueryPerformanceCounter(&count);
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(count.QuadPart) * 1e6 / static_cast<double>(frequency.QuadPart);
}

template <typename Call> void time(const char* name, Call call) {
    constexpr int kRounds = 5000;
    const double start = microseconds();
    for (int i = 0; i < kRounds; ++i) {
        call(i);
    }
    GdiFlush();
    std::printf("  %-52s %8.2f us\n", name, (microseconds() - start) / kRounds);
}

} // namespace

int main() {
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = DefWindowProcW;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"GdiCalls";
    RegisterClassW(&windowClass);
    HWND hwnd = CreateWindowW(L"GdiCalls", L"GDI calls", WS_OVERLAPPED | WS_CAPTION, 0, 0, 700, 680,
                              nullptr, nullptr, windowClass.hInstance, nullptr);
    ShowWindow(hwnd, SW_SHOWNOACTIVATE);
    UpdateWindow(hwnd);
    // The station's back buffer and the status line's font and place.
    BITMAPINFO info{};
    info.bmiHeader = {sizeof(BITMAPINFOHEADER), 690, -643, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HDC buffer = CreateCompatibleDC(nullptr);
    HGDIOBJ oldBitmap = SelectObject(buffer, bitmap);
    HFONT font = CreateFontW(-24, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, GB2312_CHARSET, 0, 0,
                             DEFAULT_QUALITY, 0, L"\u5B8B\u4F53");
    HGDIOBJ oldFont = GetCurrentObject(buffer, OBJ_FONT);
    const RECT status{376, 600, 658, 630};
    const RECT strip{484, 600, 556, 630}; // the marquee's step
    const std::wstring texts[2] = {L"         >>>", L"          >>>"};
    auto text = [&](int i) -> const std::wstring& { return texts[i % 2]; };
    auto paintCycle = [&](const RECT& area, auto draw) {
        InvalidateRect(hwnd, &area, FALSE);
        PAINTSTRUCT paint{};
        HDC dc = BeginPaint(hwnd, &paint);
        draw(dc);
        EndPaint(hwnd, &paint);
    };

    std::printf("GDI calls under Wine, per call:\n");
    time("paint cycle, nothing drawn", [&](int) { paintCycle(status, [](HDC) {}); });
    time("paint cycle, the reference's 16x16 brush fill", [&](int i) {
        const RECT marker{20, 600, 36, 616};
        paintCycle(marker, [&](HDC dc) {
            HBRUSH brush = CreateSolidBrush(i % 2 ? RGB(255, 255, 0) : RGB(0, 128, 0));
            FillRect(dc, &marker, brush);
            DeleteObject(brush);
        });
    });
    time("paint cycle, copy of the status line (282x30)", [&](int) {
        paintCycle(status,
                   [&](HDC dc) { BitBlt(dc, 376, 600, 282, 30, buffer, 376, 600, SRCCOPY); });
    });
    time("paint cycle, copy of the marquee's strip (72x30)", [&](int) {
        paintCycle(strip, [&](HDC dc) { BitBlt(dc, 484, 600, 72, 30, buffer, 484, 600, SRCCOPY); });
    });
    time("SelectObject of a font and back", [&](int) {
        SelectObject(buffer, oldFont);
        SelectObject(buffer, font);
    });
    time("SelectObject of the font already selected", [&](int) { SelectObject(buffer, font); });
    time("GetCurrentObject(OBJ_FONT)", [&](int) { (void)GetCurrentObject(buffer, OBJ_FONT); });
    time("SaveDC, IntersectClipRect, RestoreDC", [&](int) {
        const int saved = SaveDC(buffer);
        IntersectClipRect(buffer, 376, 600, 658, 630);
        RestoreDC(buffer, saved);
    });
    time("IntersectClipRect, SelectClipRgn(nullptr)", [&](int) {
        IntersectClipRect(buffer, 376, 600, 658, 630);
        SelectClipRgn(buffer, nullptr);
    });
    time("FillRect of the status line, black",
         [&](int) { FillRect(buffer, &status, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH))); });
    time("DrawTextW of the marquee", [&](int i) {
        RECT area = status;
        DrawTextW(buffer, text(i).c_str(), static_cast<int>(text(i).size()), &area,
                  DT_LEFT | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX);
    });
    time("DrawTextW of its arrows alone, after the spaces", [&](int i) {
        RECT area{status.left + 120, status.top, status.right, status.bottom};
        DrawTextW(buffer, i % 2 ? L">>>" : L"<<<", 3, &area,
                  DT_LEFT | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX);
    });
    time("GetTextExtentPoint32W of the marquee", [&](int i) {
        SIZE size{};
        GetTextExtentPoint32W(buffer, text(i).c_str(), static_cast<int>(text(i).size()), &size);
    });

    SelectObject(buffer, oldFont);
    SelectObject(buffer, oldBitmap);
    DeleteDC(buffer);
    DeleteObject(bitmap);
    DeleteObject(font);
    DestroyWindow(hwnd);
    return 0;
}
