#include "PictureWidget.h"

#include <QPainter>

void PictureWidget::setPicture(const QPixmap& picture) {
    picture_ = picture;
    update();
}

void PictureWidget::setCentred(bool centred) {
    centred_ = centred;
    update();
}

void PictureWidget::paintEvent(QPaintEvent*) {
    if (picture_.isNull()) {
        return;
    }
    QPainter painter(this);
    QPoint origin(0, 0);
    if (centred_) {
        // Integer halves, as the pixels fall: 600 in 690 starts at 45.
        origin = QPoint((width() - picture_.width()) / 2, (height() - picture_.height()) / 2);
    }
    painter.drawPixmap(origin, picture_);
}
