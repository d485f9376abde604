// The station's pictures, built into the program as resources (RCDATA named by
// their file names, "evaluator.jpg", "hint.gif", ...) and decoded once with the
// Windows Imaging Component into 32-bit premultiplied BGRA bitmaps, ready for
// AlphaBlend: the GIFs' transparent colour becomes alpha 0. A window drawn at
// another scale than 100 % gets each picture resampled smoothly, once per size.
#pragma once

#include <windows.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <type_traits>

struct BitmapDeleter {
    void operator()(HBITMAP bitmap) const { DeleteObject(bitmap); }
};
using BitmapHandle = std::unique_ptr<std::remove_pointer_t<HBITMAP>, BitmapDeleter>;

struct Picture {
    BitmapHandle bitmap;           // a top-down 32-bit DIB section, premultiplied alpha
    std::uint32_t* bits = nullptr; // its pixels, 0xAARRGGBB, row after row
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
    // The same picture at width x height: the decoded one when it has that
    // size, else a copy resampled from it, made on first use and kept until
    // forgetResized (the window's scale changed).
    const Picture* find(const std::string& name, int width, int height);
    void forgetResized() { resized_.clear(); }

private:
    HMODULE module_;
    bool comReady_ = false; // this object initialised COM on its thread
    std::map<std::string, std::unique_ptr<Picture>> pictures_;
    std::map<std::tuple<std::string, int, int>, std::unique_ptr<Picture>> resized_;
};

// The picture resampled to width x height with a triangle filter one target
// pixel wide (at least one source pixel): a linear blend where it grows, an
// average of the pixels each target pixel covers where it shrinks. Null when no
// bitmap can be made.
std::unique_ptr<Picture> resampledPicture(const Picture& source, int width, int height);
