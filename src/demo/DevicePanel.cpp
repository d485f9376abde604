#include "DevicePanel.h"

#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>

#include <cmath>
#include <numbers>

namespace {

QPolygonF star(QPointF centre, double radius) {
    QPolygonF points;
    for (int i = 0; i < 10; ++i) {
        double r = i % 2 == 0 ? radius : radius * 0.45;
        double angle = -std::numbers::pi / 2 + i * std::numbers::pi / 5;
        points << QPointF(centre.x() + r * std::cos(angle), centre.y() + r * std::sin(angle));
    }
    return points;
}

} // namespace

DevicePanel::DevicePanel(QWidget* parent) : QWidget(parent) {
    setMinimumSize(sizeHint());
}

void DevicePanel::show(const Look& look) {
    look_ = look;
    update();
}

QRectF DevicePanel::keyRect(int key) const {
    // Key 1 lowest on the left, key 6 highest on the right.
    const double size = 54;
    double x = 40 + (key - 1) * 76;
    double y = 250 - (key - 1) * 12;
    return {x, y, size, size};
}

void DevicePanel::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.fillRect(rect(), QColor(18, 18, 20));

    // The cable and the body.
    p.setPen(QPen(QColor(40, 40, 44), 6));
    p.drawLine(QPointF(300, 0), QPointF(300, 40));
    QRectF body(16, 36, 488, 290);
    QLinearGradient metal(body.topLeft(), body.bottomLeft());
    metal.setColorAt(0, look_.plugged ? QColor(236, 238, 240) : QColor(150, 152, 156));
    metal.setColorAt(1, look_.plugged ? QColor(188, 192, 198) : QColor(110, 112, 116));
    p.setPen(QPen(QColor(90, 92, 96), 2));
    p.setBrush(metal);
    p.drawRoundedRect(body, 18, 18);

    // The label plate and the speaker.
    p.setPen(QPen(QColor(160, 160, 165), 1));
    p.setBrush(QColor(246, 246, 248));
    p.drawRoundedRect(QRectF(40, 60, 120, 64), 6, 6);
    p.setPen(QColor(60, 60, 70));
    p.setFont(QFont(QStringLiteral("DejaVu Sans"), 9));
    p.drawText(QRectF(40, 60, 120, 64), Qt::AlignCenter,
               look_.plugged ? look_.link : QStringLiteral("unplugged"));
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(90, 90, 95));
    for (int row = 0; row < 5; ++row) {
        for (int col = 0; col < 7; ++col) {
            p.drawEllipse(QPointF(70 + col * 9 + (row % 2) * 4, 150 + row * 8), 2.2, 2.2);
        }
    }

    // The lamp window: five star lamps and the power lamp.
    QRectF strip(190, 60, 290, 64);
    p.setPen(QPen(QColor(70, 70, 75), 2));
    p.setBrush(QColor(22, 22, 26));
    p.drawRoundedRect(strip, 10, 10);
    for (int i = 0; i < 5; ++i) {
        QPointF centre(222 + i * 46, 92);
        bool lit = i < look_.level;
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(48, 20, 20));
        p.drawEllipse(centre, 17, 17);
        if (lit) {
            QRadialGradient glow(centre, 22);
            glow.setColorAt(0, QColor(255, 80, 60, 200));
            glow.setColorAt(1, QColor(255, 80, 60, 0));
            p.setBrush(glow);
            p.drawEllipse(centre, 22, 22);
        }
        p.setBrush(lit ? QColor(255, 70, 50) : QColor(95, 30, 30));
        p.drawPolygon(star(centre, 13));
    }
    QPointF powerCentre(455, 92);
    if (look_.power) {
        QRadialGradient glow(powerCentre, 18);
        glow.setColorAt(0, QColor(80, 150, 255, 220));
        glow.setColorAt(1, QColor(80, 150, 255, 0));
        p.setBrush(glow);
        p.drawEllipse(powerCentre, 18, 18);
    }
    p.setBrush(look_.power ? QColor(90, 170, 255) : QColor(20, 30, 70));
    p.drawEllipse(powerCentre, 9, 9);

    // The keys.
    QFont keyFont(QStringLiteral("DejaVu Sans"), 18, QFont::Bold);
    p.setFont(keyFont);
    for (int key = 1; key <= 6; ++key) {
        QRectF r = keyRect(key);
        if (look_.waiting && look_.plugged) {
            p.setPen(Qt::NoPen);
            p.setBrush(QColor(255, 210, 60, 110));
            p.drawEllipse(r.adjusted(-7, -7, 7, 7));
        }
        bool down = look_.pressed == key;
        QRadialGradient cap(r.center() - QPointF(8, 10), r.width() * 0.7);
        cap.setColorAt(0, down ? QColor(110, 115, 125) : QColor(85, 90, 98));
        cap.setColorAt(1, down ? QColor(60, 62, 68) : QColor(36, 38, 42));
        p.setPen(QPen(QColor(20, 20, 22), 2));
        p.setBrush(cap);
        p.drawEllipse(down ? r.translated(1, 2) : r);
        p.setPen(QColor(235, 235, 240));
        p.drawText(down ? r.translated(1, 2) : r, Qt::AlignCenter, QString::number(key));
    }
}

void DevicePanel::mousePressEvent(QMouseEvent* event) {
    for (int key = 1; key <= 6; ++key) {
        QRectF r = keyRect(key);
        QPointF d = event->position() - r.center();
        if (d.x() * d.x() + d.y() * d.y() <= r.width() * r.width() / 4 && onKey) {
            onKey(key);
            return;
        }
    }
    QWidget::mousePressEvent(event);
}
