// The station's pictures, built into the program as resources (RCDATA named by
// their file names, "evaluator.jpg", "hint.gif", ...) and decoded once with the
// Windows Imaging Component into 32-bit premultiplied BGRA bitmaps, ready for
// AlphaBlend: the GIFs' transparent colour becomes alpha 0.
#pragma once

#include <windows.h>

#include <map>
#include <memory>
#include <string>
#include <type_traits>

struct BitmapDeleter {
    void operator()(HBITMAP bitmap) const { DeleteObject(bitmap); }
};
using BitmapHandle = std::unique_ptr<std::remove_pointer_t<HBITMAP>, BitmapDeleter>;

struct Picture {
    BitmapHandle bitmap; // a top-down 32-bit DIB section, premultiplied alpha
    int width = 0;
    int height = 0;
};

class PictureSet {
public:
    // module: where the resources are (the program itself).
    explicit PictureSet(HMODULE module);
    ~PictureSet();
    PictureSet(const PictureSet&) = delete;
    PictureSet& operator=(const PictureSet&) = delete;

    // The decoded picture of that resource name; null when the program has no
    // such resource or it does not decode. Decoded on first use, kept after.
    const Picture* find(const std::string& name);

private:
    HMODULE module_;
    bool comReady_ = false; // this object initialised COM on its thread
    std::map<std::string, std::unique_ptr<Picture>> pictures_;
};
