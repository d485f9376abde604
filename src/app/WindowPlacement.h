// Where the station's window first opens: centred on the work area of its
// screen (the screen less the task bar), but never with its top-left corner
// outside it. On a panel smaller than the window (1024 x 600, for example, for
// a 690 x 643 client area and its frame) a centred window would put its title
// bar above the screen, and a window without a title bar on screen cannot be
// moved; it opens at the top (and left) edge instead, its lower part cut off.
#pragma once

#include <algorithm>

struct ScreenPoint {
    int x = 0;
    int y = 0;
    bool operator==(const ScreenPoint&) const = default;
};

struct ScreenArea {
    int left = 0;
    int top = 0;
    int width = 0;
    int height = 0;
};

// The top-left corner of a window of the given outer size (frame included).
inline ScreenPoint placeOnWorkArea(const ScreenArea& work, int width, int height) {
    return {std::max(work.left, work.left + (work.width - width) / 2),
            std::max(work.top, work.top + (work.height - height) / 2)};
}

// A window that wants its top-left corner at `at` (moved to another screen, or
// grown with its scale), moved as little as keeps it whole on the work area;
// where it is larger, its top-left corner stays on it.
inline ScreenPoint keepOnWorkArea(const ScreenArea& work, ScreenPoint at, int width, int height) {
    return {std::max(work.left, std::min(at.x, work.left + work.width - width)),
            std::max(work.top, std::min(at.y, work.top + work.height - height))};
}
