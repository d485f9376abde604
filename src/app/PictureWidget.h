// A picture on the window: shown unscaled, either centred in the widget or at
// its top-left corner, with the picture's transparent parts letting what lies
// beneath show through.
#pragma once

#include <QPixmap>
#include <QWidget>

class PictureWidget final : public QWidget {
public:
    explicit PictureWidget(QWidget* parent) : QWidget(parent) {}

    const QPixmap& picture() const { return picture_; }
    // Replaces what the widget shows (a copy shares the pixels).
    void setPicture(const QPixmap& picture);
    void setCentred(bool centred);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QPixmap picture_;
    bool centred_ = false;
};
