// The station's window as the operator sees it on one screen at its scale,
// checked alike for the Win32 and the Qt window.
#pragma once

#include "WidgetModel.h"
#include "WindowScale.h"
#include "frmMain.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

struct Image {
    int width = 0;
    int height = 0;
    std::vector<std::uint32_t> pixels; // 0xAARRGGBB (no alpha in screenshots), top-down

    std::uint32_t at(int x, int y) const { return pixels[static_cast<std::size_t>(y) * width + x]; }
};

// Left, top, right, bottom of the vivid pixels of that part: the lit lamps,
// the markers, the result pictures (nothing of the grey photograph is vivid).
using Box = std::array<int, 4>;
inline Box vividBox(const Image& image, const WidgetRect& part, std::uint32_t alpha = 0) {
    Box box{part.width, part.height, -1, -1};
    for (int y = 0; y < part.height; ++y) {
        for (int x = 0; x < part.width; ++x) {
            const std::uint32_t c = image.at(part.left + x, part.top + y) | alpha;
            const auto [low, high] = std::minmax({c >> 16 & 0xFF, c >> 8 & 0xFF, c & 0xFF});
            if (c >> 24 >= 128 && high > 120 && high - low > 90) {
                box = {std::min(box[0], x), std::min(box[1], y), std::max(box[2], x + 1),
                       std::max(box[3], y + 1)};
            }
        }
    }
    return box;
}

// On the screen EVALUATOR_SCREEN names ("<its scale> <width>x<height>"), the
// frame on the work area (both in one unit), the model drawn at the screen's
// scale where that fits, else as large as fits: each picture where the layout
// puts it times the scale, within one pixel (pictureOf: its picture as decoded),
// and each label's text as the window draws it alone in its area, in its font
// at the scaled size (labelAlone(label, font, area): an image of that area).
template <class PictureOf, class LabelAlone>
void expectShown(const WidgetModel& model, const Image& shot, const LayoutScale& scale,
                 const std::string& screen, double screenScale, const ScreenArea& work,
                 const ScreenArea& frame, PictureOf pictureOf, LabelAlone labelAlone) {
    const char* wanted = std::getenv("EVALUATOR_SCREEN");
    EXPECT_EQ(screen, wanted ? wanted : screen) << "not the screen asked for";
    EXPECT_TRUE(frame.left >= work.left && frame.top >= work.top &&
                frame.left + frame.width <= work.left + work.width &&
                frame.top + frame.height <= work.top + work.height);
    EXPECT_TRUE(scale.factor() == screenScale ||
                (scale.factor() < screenScale &&
                 (frame.width >= work.width - 1 || frame.height >= work.height - 1)));
    // Windows sizes windows in whole pixels, Qt in whole logical pixels.
    EXPECT_NEAR(shot.width, scale.toDevice(kClientWidth), 1);
    EXPECT_NEAR(shot.height, scale.toDevice(kClientHeight), 1);
    for (const auto& widget : model.widgets()) {
        const WidgetRect& box = widget->geometry();
        const WidgetRect area = scale.toDevice(box);
        if (widget->isVisible() && widget->kind() == WidgetKind::Label) {
            WidgetFont font = widget->font();
            font.pixelHeight = scale.fontPixels(font.pixelHeight);
            const Image text = labelAlone(*widget, font, area);
            int rowsOff = 0;
            for (int y = 0; y < area.height; ++y) {
                const auto row = shot.pixels.begin() + (area.top + y) * shot.width + area.left;
                rowsOff += !std::equal(row, row + area.width, text.pixels.begin() + y * area.width);
            }
            EXPECT_EQ(rowsOff, 0) << widget->objectName() << " \"" << widget->text() << "\"";
        } else if (widget->isVisible() && widget->group() > 0 && !widget->picture().empty()) {
            const Image own = pictureOf(*widget);
            const Box drawn = vividBox(own, {0, 0, own.width, own.height});
            const Box seen = vividBox(shot, area, 0xFF000000u);
            const int left = box.left + (widget->centred() ? (box.width - own.width) / 2 : 0);
            const int top = box.top + (widget->centred() ? (box.height - own.height) / 2 : 0);
            for (int edge = 0; edge < 4; ++edge) {
                const int want = edge % 2 ? scale.toDevice(top + drawn[edge]) - area.top
                                          : scale.toDevice(left + drawn[edge]) - area.left;
                EXPECT_NEAR(seen[edge], want, 1) << widget->objectName() << " edge " << edge;
            }
        }
    }
}
