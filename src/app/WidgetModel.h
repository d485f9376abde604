// The station's widgets as plain data: what a window draws, in the order it
// draws them (later widgets over earlier ones). The station's logic changes
// only this model; each window (Qt on Linux, Win32 on Windows) paints it.
//
// Positions are client-area pixels at 96 dpi. Label text is UTF-8 (the status
// words are the GB2312 text "合格" and "不合格" on a Chinese Windows; a window
// converts to what its toolkit draws with). A picture is named by its resource
// file ("evaluator.jpg", "hint.gif", ...); an empty name shows nothing.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

struct WidgetRect {
    int left = 0;
    int top = 0;
    int width = 0;
    int height = 0;

    bool contains(int x, int y) const {
        return x >= left && x < left + width && y >= top && y < top + height;
    }
    bool operator==(const WidgetRect&) const = default;
};

enum class WidgetKind { Picture, Label };
enum class TextAlign { Left, Right };           // horizontal; labels centre vertically
enum class FontFamily { SimSun, Tahoma };       // "宋体" (GB2312 character set) or Tahoma
enum class MouseButton { Left, Right, Middle }; // as a window reports a double-click

struct WidgetFont {
    FontFamily family = FontFamily::Tahoma;
    int pixelHeight = 11;
    bool bold = false;
};

class Widget {
public:
    Widget(WidgetKind kind, std::string name, WidgetRect bounds, int group, bool visible);

    WidgetKind kind() const { return kind_; }
    const std::string& objectName() const { return name_; }
    const WidgetRect& geometry() const { return bounds_; }
    // 1 result and power pictures, 2 lamps, 3 key markers, 0 the rest.
    int group() const { return group_; }

    bool isVisible() const { return visible_; }
    void setVisible(bool visible);
    void show() { setVisible(true); }
    void hide() { setVisible(false); }

    // Pictures: the resource shown, centred in the widget or at its top-left.
    const std::string& picture() const { return picture_; }
    void setPicture(std::string picture);
    bool centred() const { return centred_; }
    void setCentred(bool centred) { centred_ = centred; }

    // Labels: white text on an opaque black background.
    const std::string& text() const { return text_; }
    void setText(std::string text);
    const WidgetFont& font() const { return font_; }
    void setFont(WidgetFont font) { font_ = font; }
    TextAlign alignment() const { return align_; }
    void setAlignment(TextAlign align) { align_ = align; }
    // Text too wide for the label is drawn in a smaller font until it fits,
    // rather than cut off.
    bool shrinkToFit() const { return shrink_; }
    void setShrinkToFit(bool shrink) { shrink_ = shrink; }
    // A hand-shaped pointer over the widget.
    bool handCursor() const { return hand_; }
    void setHandCursor(bool hand) { hand_ = hand; }

    // Bumped by every change a window must repaint.
    std::uint64_t revision() const { return revision_; }

private:
    void changed() { ++revision_; }

    WidgetKind kind_;
    std::string name_;
    WidgetRect bounds_;
    int group_;
    bool visible_;
    std::string picture_;
    bool centred_ = false;
    std::string text_;
    WidgetFont font_;
    TextAlign align_ = TextAlign::Left;
    bool shrink_ = false;
    bool hand_ = false;
    std::uint64_t revision_ = 0;
};

// The widgets of one window, in creation order.
class WidgetModel {
public:
    Widget& add(WidgetKind kind, std::string name, WidgetRect bounds, int group, bool visible);

    const std::vector<std::unique_ptr<Widget>>& widgets() const { return widgets_; }
    // The widget of that name, matched without regard to case; null when none.
    Widget* find(std::string_view name) const;
    // The top-most visible widget under the point; null when none.
    Widget* widgetAt(int x, int y) const;
    // Where a window's repaint of the area starts: the index of the top-most
    // visible label that covers it whole (labels are opaque, so nothing beneath
    // shows), or 0 when none does and the window's black shows under the rest.
    std::size_t firstToPaint(const WidgetRect& area) const;
    // Changes since the model was built: a window repaints when this moves.
    std::uint64_t revision() const;

private:
    std::vector<std::unique_ptr<Widget>> widgets_;
};
