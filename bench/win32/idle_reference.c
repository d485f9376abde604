/* The idle bench's reference for the Windows station: the least a Win32
 * window can do at the station's idle rate, a 100 ms timer that repaints one
 * small rectangle (the size of the station's status marker) in a window of
 * the station's size. Its figure is Wine's floor on this machine.
 *   idle_reference.exe
 */
#include <windows.h>

static int ticks;
static const RECT marker = {20, 600, 36, 616};

static LRESULT CALLBACK window_proc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
    case WM_TIMER:
        ++ticks;
        InvalidateRect(hwnd, &marker, FALSE);
        return 0;
    case WM_PAINT: {
        PAINTSTRUCT paint;
        HDC dc = BeginPaint(hwnd, &paint);
        HBRUSH brush = CreateSolidBrush(ticks % 2 ? RGB(255, 255, 0) : RGB(0, 128, 0));
        FillRect(dc, &marker, brush);
        DeleteObject(brush);
        EndPaint(hwnd, &paint);
        return 0;
    }
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(hwnd, message, wparam, lparam);
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR command, int show) {
    (void)previous;
    (void)command;
    WNDCLASSW window_class = {0};
    window_class.lpfnWndProc = window_proc;
    window_class.hInstance = instance;
    window_class.hbrBackground = (HBRUSH)GetStockObject(BLACK_BRUSH);
    window_class.lpszClassName = L"IdleReference";
    window_class.hCursor = LoadCursorW(NULL, MAKEINTRESOURCEW(32512)); /* IDC_ARROW */
    RegisterClassW(&window_class);
    RECT size = {0, 0, 690, 643};
    AdjustWindowRect(&size, WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX, FALSE);
    HWND hwnd = CreateWindowW(L"IdleReference", L"Idle reference",
                              WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX,
                              CW_USEDEFAULT, CW_USEDEFAULT, size.right - size.left,
                              size.bottom - size.top, NULL, NULL, instance, NULL);
    ShowWindow(hwnd, show);
    SetTimer(hwnd, 1, 100, NULL);
    MSG message;
    while (GetMessageW(&message, NULL, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return 0;
}
