#include "WidgetModel.h"

#include <algorithm>
#include <cctype>
#include <numeric>

namespace {

bool sameName(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

} // namespace

Widget::Widget(WidgetKind kind, std::string name, WidgetRect bounds, int group, bool visible)
    : kind_(kind), name_(std::move(name)), bounds_(bounds), group_(group), visible_(visible) {}

void Widget::setVisible(bool visible) {
    if (visible_ != visible) {
        visible_ = visible;
        changed();
    }
}

void Widget::setPicture(std::string picture) {
    if (picture_ != picture) {
        picture_ = std::move(picture);
        changed();
    }
}

void Widget::setText(std::string text) {
    if (text_ != text) {
        text_ = std::move(text);
        changed();
    }
}

Widget& WidgetModel::add(WidgetKind kind, std::string name, WidgetRect bounds, int group,
                         bool visible) {
    widgets_.push_back(std::make_unique<Widget>(kind, std::move(name), bounds, group, visible));
    return *widgets_.back();
}

Widget* WidgetModel::find(std::string_view name) const {
    for (const auto& widget : widgets_) {
        if (sameName(widget->objectName(), name)) {
            return widget.get();
        }
    }
    return nullptr;
}

Widget* WidgetModel::widgetAt(int x, int y) const {
    for (auto it = widgets_.rbegin(); it != widgets_.rend(); ++it) {
        if ((*it)->isVisible() && (*it)->geometry().contains(x, y)) {
            return it->get();
        }
    }
    return nullptr;
}

std::size_t WidgetModel::firstToPaint(const WidgetRect& area) const {
    for (std::size_t i = widgets_.size(); i-- > 0;) {
        const Widget& widget = *widgets_[i];
        const WidgetRect& box = widget.geometry();
        if (widget.isVisible() && widget.kind() == WidgetKind::Label && box.left <= area.left &&
            box.top <= area.top && box.left + box.width >= area.left + area.width &&
            box.top + box.height >= area.top + area.height) {
            return i;
        }
    }
    return 0;
}

std::uint64_t WidgetModel::revision() const {
    return std::accumulate(widgets_.begin(), widgets_.end(), std::uint64_t{0},
                           [](std::uint64_t sum, const auto& w) { return sum + w->revision(); });
}
