// What an open message box says, for the end-to-end test: the text of the box
// titled as asked and the title of the window that owns it, after the title of
// the window in front. Prints UTF-8 lines "foreground=...", "text=..." and
// "owner=..."; exits with 1 when no such box is open.
//   box-text.exe <title>
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

std::wstring wanted;
HWND box = nullptr;

std::string utf8(const std::wstring& text) {
    std::string out(text.size() * 3, '\0');
    const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                      out.data(), static_cast<int>(out.size()), nullptr, nullptr);
    out.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return out;
}

std::wstring textOf(HWND window) {
    wchar_t buffer[1024] = {};
    GetWindowTextW(window, buffer, 1024);
    return buffer;
}

std::wstring classOf(HWND window) {
    wchar_t buffer[256] = {};
    GetClassNameW(window, buffer, 256);
    return buffer;
}

BOOL CALLBACK findBox(HWND window, LPARAM) {
    if (classOf(window) == L"#32770" && textOf(window) == wanted) {
        box = window;
        return FALSE;
    }
    return TRUE;
}

BOOL CALLBACK printText(HWND child, LPARAM) {
    // The message is the box's one static control with text (the icon has none).
    if (_wcsicmp(classOf(child).c_str(), L"Static") == 0 && !textOf(child).empty()) {
        std::printf("text=%s\n", utf8(textOf(child)).c_str());
    }
    return TRUE;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        return 2;
    }
    const std::string title = argv[1];
    wanted.assign(title.begin(), title.end());
    const HWND front = GetForegroundWindow();
    std::printf("foreground=%s\n", front != nullptr ? utf8(textOf(front)).c_str() : "");
    EnumWindows(&findBox, 0);
    if (box == nullptr) {
        return 1;
    }
    EnumChildWindows(box, &printText, 0);
    const HWND owner = GetWindow(box, GW_OWNER);
    std::printf("owner=%s\n", owner != nullptr ? utf8(textOf(owner)).c_str() : "");
    return 0;
}
