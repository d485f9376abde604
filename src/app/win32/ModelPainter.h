// Draws the station's widget model with GDI into an off-screen 32-bit bitmap,
// the window's back buffer: every visible widget in model order, pictures
// alpha-blended over what is below, labels as white text on opaque black, all
// at the window's scale (WindowScale.h): at 1 pixel for pixel the layout.
#pragma once

#include "Pictures.h"
#include "WidgetModel.h"
#include "WindowScale.h"

#include <windows.h>

#include <cstdint>
#include <map>
#include <string>
#include <tuple>
#include <vector>

struct FontDeleter {
    void operator()(HFONT font) const { DeleteObject(font); }
};
using FontHandle = std::unique_ptr<std::remove_pointer_t<HFONT>, FontDeleter>;

// The label fonts by family, pixel height and weight, made once each.
class FontCache {
public:
    HFONT get(FontFamily family, int pixelHeight, bool bold);

private:
    std::map<std::tuple<FontFamily, int, bool>, FontHandle> fonts_;
};

class BackBuffer {
public:
    BackBuffer(int width, int height);
    ~BackBuffer();
    BackBuffer(const BackBuffer&) = delete;
    BackBuffer& operator=(const BackBuffer&) = delete;
    // A new bitmap of that size (its pixels black); the old one is gone.
    void resize(int width, int height);

    bool valid() const { return dc_ != nullptr && bits_ != nullptr; }
    HDC dc() const { return dc_; }
    int width() const { return width_; }
    int height() const { return height_; }
    // The pixel at (x, y) as 0x00RRGGBB.
    std::uint32_t pixel(int x, int y) const;
    // All of them so, row after row.
    std::vector<std::uint32_t> pixels() const;
    // Writes the buffer as a 32-bit bitmap file; false when it cannot.
    bool saveBmp(const std::wstring& path) const;

private:
    void create();
    void release();

    int width_;
    int height_;
    HDC dc_ = nullptr;
    HBITMAP bitmap_ = nullptr;
    HGDIOBJ previous_ = nullptr;
    HGDIOBJ font_ = nullptr; // the DC's own font, selected again at the end
    std::uint32_t* bits_ = nullptr;
};

// UTF-8 (the model's text) to UTF-16 (what the W functions draw).
std::wstring wideText(const std::string& text);

class ModelPainter {
public:
    explicit ModelPainter(PictureSet& pictures) : pictures_(pictures) {}

    // The scale everything is drawn at from now on; the buffer must be the
    // client area at that scale.
    void setScale(const LayoutScale& scale);
    const LayoutScale& scale() const { return scale_; }
    // A widget's rectangle in the buffer.
    RECT deviceRect(const Widget& widget) const;

    // Paints the model into the buffer, within the buffer's current clip region.
    void paint(const WidgetModel& model, BackBuffer& buffer);
    // One label: the black box and its text (shrunk to fit when the label asks).
    void paintLabel(HDC dc, const Widget& label);
    // The part of a label whose pixels can differ now that its text is no
    // longer `before`, measured with the label's font in `dc`: for text drawn
    // from the left edge in one size, from where the two texts part to the end
    // of the longer one (the idle marquee moves its arrows one space: a strip
    // of the label, not all of it). Empty when the texts are the same.
    RECT changedPart(HDC dc, const Widget& label, const std::string& before);

private:
    void paintPicture(HDC dc, const Widget& widget);
    static void useFont(HDC dc, HFONT font);
    static std::size_t leadingSpaces(const std::wstring& text);
    // The width of a space in the font selected in dc (measured once a font).
    int spaceWidth(HDC dc);
    // The width of the text's first `length` characters in the selected font.
    int textWidth(HDC dc, const std::wstring& text, std::size_t length);

    PictureSet& pictures_;
    LayoutScale scale_;
    FontCache fonts_;
    std::map<HFONT, int> spaceWidths_;
};
