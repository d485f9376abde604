// The evaluator drawn as it stands on the counter: six keys in a rising row,
// five star lamps and the power lamp in a dark window, lit as the device is.
#pragma once

#include <QWidget>

#include <array>
#include <functional>

class DevicePanel final : public QWidget {
public:
    explicit DevicePanel(QWidget* parent = nullptr);

    struct Look {
        bool plugged = false;
        bool power = false;
        int level = 0;        // star lamps lit
        bool waiting = false; // a key wait in progress: the keys glow
        int pressed = 0;      // the key shown pressed, 0 for none
        QString link;         // "HID", "PL2303 COM5", ...
    };
    void show(const Look& look);
    std::function<void(int key)> onKey; // a key was clicked

    QSize sizeHint() const override { return {520, 330}; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;

private:
    QRectF keyRect(int key) const;
    Look look_;
};
