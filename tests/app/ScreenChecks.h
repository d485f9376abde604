// Each picture of a screenshot of the station drawn at a scale is where the
// layout puts it, times the scale: found by its vivid pixels (the lit lamps,
// the markers, the result pictures; nothing of the grey photograph is vivid).
#pragma once

#include "WidgetModel.h"
#include "WindowScale.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>

// Left, top, right, bottom of the vivid pixels, given as 0xAARRGGBB.
using Box = std::array<int, 4>;
template <class PixelAt> Box vividBox(int width, int height, PixelAt pixelAt) {
    Box box{width, height, -1, -1};
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const std::uint32_t c = pixelAt(x, y);
            const int high = std::max({c >> 16 & 0xFF, c >> 8 & 0xFF, c & 0xFF});
            if (c >> 24 >= 128 && high > 120 &&
                high - std::min({c >> 16 & 0xFF, c >> 8 & 0xFF, c & 0xFF}) > 90) {
                box = {std::min(box[0], x), std::min(box[1], y), std::max(box[2], x + 1),
                       std::max(box[3], y + 1)};
            }
        }
    }
    return box;
}

// `seen` (in the widget's area) is `own` (in its width x height picture) at
// the widget's place times the scale, within one pixel.
inline void expectPlaced(const Widget& widget, int width, int height, const Box& own,
                         const LayoutScale& scale, const Box& seen) {
    const WidgetRect& box = widget.geometry();
    const int left = box.left + (widget.centred() ? (box.width - width) / 2 : 0);
    const int top = box.top + (widget.centred() ? (box.height - height) / 2 : 0);
    const WidgetRect area = scale.toDevice(box);
    for (int edge = 0; edge < 4; ++edge) {
        const int want =
            scale.toDevice((edge % 2 ? top : left) + own[edge]) - (edge % 2 ? area.top : area.left);
        EXPECT_NEAR(seen[edge], want, 1) << widget.objectName() << " edge " << edge;
    }
}
