// How large the station's window is drawn on a screen. The layout is in pixels
// at 96 dpi; a screen at 150 % gets it drawn at 1.5 times (fonts at 1.5 times
// their pixel height, pictures scaled smoothly), so that it looks as it does at
// 100 %, only sharper than a stretched bitmap would. Where the window at that
// scale would not fit the work area (a 1024 x 600 panel PC, or 200 % on a
// 1080-line screen), the whole picture is drawn smaller, keeping its
// proportions: every widget stays on screen, the result word included.
// Both windows use this, so that the rule is the same on Windows and Linux.
#pragma once

#include "WidgetModel.h"
#include "WindowPlacement.h"

class LayoutScale {
public:
    LayoutScale() = default; // 1: pixel for pixel the layout
    explicit LayoutScale(double factor);

    double factor() const { return factor_; }
    bool isOne() const { return factor_ == 1.0; }

    // A coordinate or a length of the layout in device pixels, to the nearest.
    int toDevice(int layout) const;
    // A widget's rectangle in device pixels: its edges scaled, so that widgets
    // that meet in the layout still meet.
    WidgetRect toDevice(const WidgetRect& box) const;
    // A font's pixel height at this scale; at least one pixel.
    int fontPixels(int pixelHeight) const;
    // The layout point whose area holds the centre of this device pixel (where
    // a click there lands in the model).
    ScreenPoint toLayout(int x, int y) const;
    // The smallest layout rectangle whose device rectangle holds this device
    // rectangle (what a repaint of that area must draw).
    WidgetRect layoutCovering(const WidgetRect& device) const;

    bool operator==(const LayoutScale&) const = default;

private:
    double factor_ = 1.0;
};

// The scale of a client area of clientWidth x clientHeight layout pixels on a
// screen of that scale (its dots per inch over 96, or its device pixel ratio):
// that scale when the client area at it, with the window's frame around it,
// fits the work area, else the largest that fits. All sizes in device pixels.
LayoutScale fittingScale(double screenScale, const ScreenArea& work, int frameWidth,
                         int frameHeight, int clientWidth, int clientHeight);
