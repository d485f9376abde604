#include "ModelPainter.h"

#include <algorithm>
#include <vector>

namespace {

// "宋体" (SimSun) in the GB2312 character set, as a Chinese Windows has it.
constexpr wchar_t kSimSun[] = L"\u5B8B\u4F53";
constexpr int kSmallestFont = 6; // pixels: below this a shrunk count is unreadable anyway

} // namespace

HFONT FontCache::get(FontFamily family, int pixelHeight, bool bold) {
    auto key = std::make_tuple(family, pixelHeight, bold);
    auto known = fonts_.find(key);
    if (known != fonts_.end()) {
        return known->second.get();
    }
    const bool cjk = family == FontFamily::SimSun;
    // A negative height asks for the character height in pixels: the painter
    // asks for the layout's height times the window's scale.
    HFONT font =
        CreateFontW(-pixelHeight, 0, 0, 0, bold ? FW_BOLD : FW_NORMAL, FALSE, FALSE, FALSE,
                    cjk ? GB2312_CHARSET : DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS,
                    DEFAULT_QUALITY, DEFAULT_PITCH | FF_DONTCARE, cjk ? kSimSun : L"Tahoma");
    fonts_.emplace(key, FontHandle(font));
    return font;
}

BackBuffer::BackBuffer(int width, int height) : width_(width), height_(height) {
    create();
}

BackBuffer::~BackBuffer() {
    release();
}

void BackBuffer::resize(int width, int height) {
    release();
    width_ = width;
    height_ = height;
    create();
}

void BackBuffer::create() {
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = width_;
    info.bmiHeader.biHeight = -height_; // top-down
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    bitmap_ = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    dc_ = CreateCompatibleDC(nullptr);
    if (!bitmap_ || !dc_) {
        return;
    }
    bits_ = static_cast<std::uint32_t*>(bits);
    previous_ = SelectObject(dc_, bitmap_);
    font_ = GetCurrentObject(dc_, OBJ_FONT);
}

void BackBuffer::release() {
    if (dc_) {
        if (previous_) {
            SelectObject(dc_, previous_);
        }
        SelectObject(dc_, font_); // the painter leaves a label's font selected
        DeleteDC(dc_);
    }
    if (bitmap_) {
        DeleteObject(bitmap_);
    }
    dc_ = nullptr;
    bitmap_ = nullptr;
    previous_ = nullptr;
    bits_ = nullptr;
}

std::uint32_t BackBuffer::pixel(int x, int y) const {
    if (!bits_ || x < 0 || y < 0 || x >= width_ || y >= height_) {
        return 0;
    }
    GdiFlush(); // GDI may still hold drawing it has not put into the bits
    return bits_[static_cast<std::size_t>(y) * width_ + x] & 0xFFFFFFu;
}

std::vector<std::uint32_t> BackBuffer::pixels() const {
    if (!bits_) {
        return {};
    }
    GdiFlush();
    std::vector<std::uint32_t> all(bits_, bits_ + static_cast<std::size_t>(width_) * height_);
    for (auto& pixel : all) {
        pixel &= 0xFFFFFFu;
    }
    return all;
}

bool BackBuffer::saveBmp(const std::wstring& path) const {
    if (!valid()) {
        return false;
    }
    GdiFlush();
    const std::uint32_t imageSize = static_cast<std::uint32_t>(width_) * height_ * 4;
    BITMAPFILEHEADER file{};
    BITMAPINFOHEADER header{};
    file.bfType = 0x4D42; // "BM"
    file.bfOffBits = sizeof(file) + sizeof(header);
    file.bfSize = file.bfOffBits + imageSize;
    header.biSize = sizeof(header);
    header.biWidth = width_;
    header.biHeight = -height_;
    header.biPlanes = 1;
    header.biBitCount = 32;
    header.biCompression = BI_RGB;
    header.biSizeImage = imageSize;
    HANDLE out = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (out == INVALID_HANDLE_VALUE) {
        return false;
    }
    DWORD written = 0;
    bool ok = WriteFile(out, &file, sizeof(file), &written, nullptr) && written == sizeof(file);
    ok = ok && WriteFile(out, &header, sizeof(header), &written, nullptr) &&
         written == sizeof(header);
    // GDI leaves the alpha byte of what it draws at 0: the file's pixels are opaque.
    for (int y = 0; ok && y < height_; ++y) {
        std::vector<std::uint32_t> row(bits_ + static_cast<std::size_t>(y) * width_,
                                       bits_ + static_cast<std::size_t>(y + 1) * width_);
        for (auto& pixel : row) {
            pixel |= 0xFF000000u;
        }
        const DWORD rowSize = static_cast<DWORD>(row.size() * 4);
        ok = WriteFile(out, row.data(), rowSize, &written, nullptr) && written == rowSize;
    }
    CloseHandle(out);
    return ok;
}

std::wstring wideText(const std::string& text) {
    if (text.empty()) {
        return {};
    }
    UINT codePage = CP_UTF8;
    int length = MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, text.data(),
                                     static_cast<int>(text.size()), nullptr, 0);
    if (length <= 0) { // not UTF-8 (a path in the ANSI code page): take it as such
        codePage = CP_ACP;
        length = MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()),
                                     nullptr, 0);
    }
    std::wstring result(static_cast<std::size_t>(std::max(length, 0)), L'\0');
    MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), result.data(),
                        length);
    return result;
}

void ModelPainter::setScale(const LayoutScale& scale) {
    if (!(scale == scale_)) {
        scale_ = scale;
        pictures_.forgetResized();
    }
}

RECT ModelPainter::deviceRect(const Widget& widget) const {
    const WidgetRect box = scale_.toDevice(widget.geometry());
    return RECT{box.left, box.top, box.left + box.width, box.top + box.height};
}

void ModelPainter::paint(const WidgetModel& model, BackBuffer& buffer) {
    HDC dc = buffer.dc();
    // Only what lies in the region being painted is drawn: an idle tick
    // repaints the status line alone.
    RECT dirty{0, 0, buffer.width(), buffer.height()};
    switch (GetClipBox(dc, &dirty)) {
    case NULLREGION:
        return;
    case ERROR:
        dirty = RECT{0, 0, buffer.width(), buffer.height()};
        break;
    default:
        break;
    }
    const auto& widgets = model.widgets();
    const std::size_t first = model.firstToPaint(scale_.layoutCovering(
        {dirty.left, dirty.top, dirty.right - dirty.left, dirty.bottom - dirty.top}));
    if (first == 0) {
        // What the photograph does not cover is the window's black.
        FillRect(dc, &dirty, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));
    }
    for (std::size_t i = first; i < widgets.size(); ++i) {
        const auto& widget = widgets[i];
        if (!widget->isVisible()) {
            continue;
        }
        const RECT area = deviceRect(*widget);
        RECT overlap;
        if (!IntersectRect(&overlap, &area, &dirty)) {
            continue;
        }
        if (widget->kind() == WidgetKind::Picture) {
            paintPicture(dc, *widget);
        } else {
            paintLabel(dc, *widget);
        }
    }
    GdiFlush();
}

RECT ModelPainter::changedPart(HDC dc, const Widget& label, const std::string& before) {
    const RECT whole = deviceRect(label);
    // Right-aligned text moves as a whole, and a shrunk one may change its size.
    if (label.alignment() != TextAlign::Left || label.shrinkToFit()) {
        return whole;
    }
    const std::wstring old = wideText(before);
    const std::wstring now = wideText(label.text());
    if (old == now) {
        return RECT{0, 0, 0, 0};
    }
    std::size_t same = static_cast<std::size_t>(
        std::mismatch(old.begin(), old.end(), now.begin(), now.end()).first - old.begin());
    if (same > 0 && same < now.size() && IS_LOW_SURROGATE(now[same])) {
        --same; // a character outside the BMP is measured whole
    }
    const WidgetFont& font = label.font();
    const int pixels = scale_.fontPixels(font.pixelHeight);
    useFont(dc, fonts_.get(font.family, pixels, font.bold));
    const int from = textWidth(dc, now, same);
    const int to = std::max(textWidth(dc, old, old.size()), textWidth(dc, now, now.size()));
    // A glyph may reach a little beyond its advance on either side.
    const int reach = pixels / 4 + 1;
    return RECT{std::max<LONG>(whole.left, whole.left + from - reach), whole.top,
                std::min<LONG>(whole.right, whole.left + to + reach), whole.bottom};
}

void ModelPainter::paintPicture(HDC dc, const Widget& widget) {
    const Picture* picture = pictures_.find(widget.picture());
    if (picture && !scale_.isOne()) {
        picture = pictures_.find(widget.picture(), scale_.toDevice(picture->width),
                                 scale_.toDevice(picture->height));
    }
    if (!picture) {
        return;
    }
    const RECT box = deviceRect(widget);
    int x = box.left;
    int y = box.top;
    if (widget.centred()) { // integer halves: the 600-pixel photograph in 690 starts at 45
        x += (box.right - box.left - picture->width) / 2;
        y += (box.bottom - box.top - picture->height) / 2;
    }
    // A picture shows only within its widget, like a child window would.
    const int saved = SaveDC(dc);
    IntersectClipRect(dc, box.left, box.top, box.right, box.bottom);
    HDC source = CreateCompatibleDC(dc);
    HGDIOBJ previous = SelectObject(source, picture->bitmap.get());
    BLENDFUNCTION blend{AC_SRC_OVER, 0, 255, AC_SRC_ALPHA};
    AlphaBlend(dc, x, y, picture->width, picture->height, source, 0, 0, picture->width,
               picture->height, blend);
    SelectObject(source, previous);
    DeleteDC(source);
    RestoreDC(dc, saved);
}

void ModelPainter::paintLabel(HDC dc, const Widget& label) {
    RECT rect = deviceRect(label);
    FillRect(dc, &rect, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));
    const std::wstring text = wideText(label.text());
    if (text.empty()) {
        return;
    }
    const WidgetFont& font = label.font();
    const int pixels = scale_.fontPixels(font.pixelHeight);
    HFONT face = fonts_.get(font.family, pixels, font.bold);
    useFont(dc, face);
    if (label.shrinkToFit()) {
        // A long count ("12346/12347") is drawn whole in a smaller font rather than cut.
        for (int height = pixels - 1; height >= scale_.fontPixels(kSmallestFont); --height) {
            SIZE extent{};
            GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &extent);
            if (extent.cx <= rect.right - rect.left) {
                break;
            }
            face = fonts_.get(font.family, height, font.bold);
            useFont(dc, face);
        }
    }
    SetTextColor(dc, RGB(255, 255, 255));
    SetBkMode(dc, TRANSPARENT);
    // Left-aligned text starts after its leading spaces, which draw nothing:
    // the same pixels, without Wine looking each space up in the font.
    const bool left = label.alignment() == TextAlign::Left;
    const std::size_t spaces = left ? leadingSpaces(text) : 0;
    if (spaces > 0) {
        rect.left += static_cast<LONG>(spaces) * spaceWidth(dc);
    }
    if (spaces < text.size() && rect.left < rect.right) {
        DrawTextW(dc, text.c_str() + spaces, static_cast<int>(text.size() - spaces), &rect,
                  (left ? DT_LEFT : DT_RIGHT) | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX);
    }
}

std::size_t ModelPainter::leadingSpaces(const std::wstring& text) {
    return std::min(text.find_first_not_of(L' '), text.size());
}

int ModelPainter::spaceWidth(HDC dc) {
    HFONT font = static_cast<HFONT>(GetCurrentObject(dc, OBJ_FONT));
    auto known = spaceWidths_.find(font);
    if (known == spaceWidths_.end()) {
        SIZE size{};
        GetTextExtentPoint32W(dc, L" ", 1, &size);
        known = spaceWidths_.emplace(font, static_cast<int>(size.cx)).first;
    }
    return known->second;
}

int ModelPainter::textWidth(HDC dc, const std::wstring& text, std::size_t length) {
    // GDI adds up whole-pixel advances: the leading spaces are counted, and
    // only the rest is measured (the idle marquee is mostly spaces).
    const std::size_t spaces = std::min(leadingSpaces(text), length);
    SIZE size{};
    if (length > spaces) {
        GetTextExtentPoint32W(dc, text.c_str() + spaces, static_cast<int>(length - spaces), &size);
    }
    return static_cast<int>(spaces) * spaceWidth(dc) + static_cast<int>(size.cx);
}

void ModelPainter::useFont(HDC dc, HFONT font) {
    // Selecting a font costs Wine some 6 us even when it is the one selected
    // already, twice a tick with a restore: the label's font stays selected.
    if (GetCurrentObject(dc, OBJ_FONT) != font) {
        SelectObject(dc, font);
    }
}
