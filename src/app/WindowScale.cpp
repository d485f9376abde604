#include "WindowScale.h"

#include <algorithm>
#include <cmath>

namespace {

// Below a quarter nothing of the window can be read any more; a work area that
// small (or a frame larger than it) is not worth following further.
constexpr double kSmallestScale = 0.25;

} // namespace

LayoutScale::LayoutScale(double factor)
    : factor_(std::isfinite(factor) && factor > 0.0 ? factor : 1.0) {}

int LayoutScale::toDevice(int layout) const {
    return static_cast<int>(std::lround(layout * factor_));
}

WidgetRect LayoutScale::toDevice(const WidgetRect& box) const {
    const int left = toDevice(box.left);
    const int top = toDevice(box.top);
    return {left, top, toDevice(box.left + box.width) - left, toDevice(box.top + box.height) - top};
}

int LayoutScale::fontPixels(int pixelHeight) const {
    return std::max(1, toDevice(pixelHeight));
}

ScreenPoint LayoutScale::toLayout(int x, int y) const {
    // The last layout coordinate whose device edge, rounded as toDevice rounds
    // it, is at or before the pixel: the pixel lies in that layout pixel's area.
    const auto layout = [this](int device) {
        return static_cast<int>(std::ceil((device + 0.5) / factor_)) - 1;
    };
    return {layout(x), layout(y)};
}

WidgetRect LayoutScale::layoutCovering(const WidgetRect& device) const {
    // A layout edge e lands on device pixel round(e * factor): whole layout
    // pixels outside the device rectangle's edges cover it.
    const int left = static_cast<int>(std::floor(device.left / factor_));
    const int top = static_cast<int>(std::floor(device.top / factor_));
    const int right = static_cast<int>(std::ceil((device.left + device.width) / factor_));
    const int bottom = static_cast<int>(std::ceil((device.top + device.height) / factor_));
    return {left, top, right - left, bottom - top};
}

LayoutScale fittingScale(double screenScale, const ScreenArea& work, int frameWidth,
                         int frameHeight, int clientWidth, int clientHeight) {
    double scale = screenScale > 0.0 ? screenScale : 1.0;
    if (clientWidth > 0 && clientHeight > 0) {
        scale = std::min({scale, static_cast<double>(work.width - frameWidth) / clientWidth,
                          static_cast<double>(work.height - frameHeight) / clientHeight});
    }
    return LayoutScale(std::max(scale, kSmallestScale));
}
