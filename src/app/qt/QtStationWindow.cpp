#include "QtStationWindow.h"

#include "JpegDecoder.h"
#include "WindowPlacement.h"

#include <QCloseEvent>
#include <QFile>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <QTimerEvent>
#include <QWindow>

#include <cmath>

// Outside any namespace, as the resource macro requires.
static void initStationResources() {
    static const bool done = [] {
        Q_INIT_RESOURCE(station);
        return true;
    }();
    (void)done;
}

namespace {

QPixmap decodePicture(const std::string& name) {
    QFile file(QStringLiteral(":/station/") + QString::fromStdString(name));
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    const QByteArray bytes = file.readAll();
    if (name.ends_with(".jpg")) {
        // The photograph is a progressive JPEG: libjpeg decodes it.
        return QPixmap::fromImage(decodeJpeg(std::string_view(bytes.constData(), bytes.size())));
    }
    QPixmap picture;
    picture.loadFromData(bytes);
    return picture;
}

MouseButton buttonOf(Qt::MouseButton button) {
    switch (button) {
    case Qt::LeftButton:
        return MouseButton::Left;
    case Qt::RightButton:
        return MouseButton::Right;
    default:
        return MouseButton::Middle;
    }
}

QRect toQRect(const WidgetRect& box) {
    return QRect(box.left, box.top, box.width, box.height);
}

// The device pixels a rectangle of logical pixels covers, and back.
QRect deviceArea(const QRect& logical, qreal ratio) {
    const int left = static_cast<int>(std::floor(logical.x() * ratio));
    const int top = static_cast<int>(std::floor(logical.y() * ratio));
    return QRect(left, top,
                 static_cast<int>(std::ceil((logical.x() + logical.width()) * ratio)) - left,
                 static_cast<int>(std::ceil((logical.y() + logical.height()) * ratio)) - top);
}

// Before the window is first shown its frame is unknown: a window manager's
// border and caption take about this much.
constexpr int kFrameWidthGuess = 8;
constexpr int kFrameHeightGuess = 40;

void drawLabel(QPainter& painter, const Widget& label, const LayoutScale& scale) {
    const QRect area = toQRect(scale.toDevice(label.geometry()));
    painter.fillRect(area, Qt::black);
    const QString text = QString::fromStdString(label.text());
    WidgetFont wanted = label.font();
    wanted.pixelHeight = scale.fontPixels(wanted.pixelHeight);
    QFont font = labelFont(wanted);
    if (label.shrinkToFit()) {
        while (font.pixelSize() > scale.fontPixels(6) &&
               QFontMetrics(font).horizontalAdvance(text) > area.width()) {
            font.setPixelSize(font.pixelSize() - 1);
        }
    }
    painter.setFont(font);
    painter.setPen(Qt::white);
    const Qt::Alignment align =
        (label.alignment() == TextAlign::Right ? Qt::AlignRight : Qt::AlignLeft) | Qt::AlignVCenter;
    painter.drawText(area, align | Qt::TextSingleLine, text);
}

} // namespace

QFont labelFont(const WidgetFont& wanted) {
    QFont font;
    if (wanted.family == FontFamily::SimSun) {
        // Windows has "宋体" (SimSun) with every Chinese font pack; elsewhere
        // the window falls back on the CJK fonts the system has.
        font.setFamilies({QString::fromUtf16(u"\u5B8B\u4F53"), QStringLiteral("SimSun"),
                          QStringLiteral("NSimSun"), QStringLiteral("WenQuanYi Zen Hei"),
                          QStringLiteral("Noto Sans CJK SC"), QStringLiteral("Noto Serif CJK SC"),
                          QStringLiteral("AR PL UMing CN")});
    } else {
        font.setFamilies(
            {QStringLiteral("Tahoma"), QStringLiteral("DejaVu Sans"), QStringLiteral("Verdana")});
    }
    font.setPixelSize(wanted.pixelHeight);
    font.setBold(wanted.bold);
    return font;
}

QtStationWindow::QtStationWindow(std::vector<LinkKind> kinds, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
                          Qt::MSWindowsFixedSizeDialogHint) {
    initStationResources();
    setWindowTitle(QString::fromUtf8(kStationTitle));
    setAttribute(Qt::WA_OpaquePaintEvent);
    setMouseTracking(true);
    QFont font;
    font.setFamilies(
        {QStringLiteral("Tahoma"), QStringLiteral("DejaVu Sans"), QStringLiteral("Verdana")});
    font.setPixelSize(11);
    setFont(font);
    fitToScreen();
    station_ = std::make_unique<TMainForm>(*this, std::move(kinds));
}

void QtStationWindow::fitToScreen() {
    const QWindow* window = windowHandle();
    const QScreen* screen =
        window && window->screen() ? window->screen() : QGuiApplication::primaryScreen();
    QSize frame = frameGeometry().size() - geometry().size();
    if (!isVisible() || frame.isEmpty()) {
        frame = QSize(kFrameWidthGuess, kFrameHeightGuess);
    }
    ScreenArea work{0, 0, 1 << 20, 1 << 20};
    if (screen) {
        const QRect area = screen->availableGeometry();
        work = {area.x(), area.y(), area.width(), area.height()};
    }
    // Qt scales logical pixels to the screen's itself: only the fit is ours.
    const LayoutScale fit =
        fittingScale(1.0, work, frame.width(), frame.height(), kClientWidth, kClientHeight);
    const QSize size(fit.toDevice(kClientWidth), fit.toDevice(kClientHeight));
    if (fit.factor() != fit_ || size != this->size()) {
        fit_ = fit.factor();
        scaledPictures_.clear();
        setFixedSize(size);
        update();
    }
    // move() places the frame, so the title bar stays on the work area.
    const ScreenPoint at =
        isVisible()
            ? keepOnWorkArea(work, {x(), y()}, size.width() + frame.width(),
                             size.height() + frame.height())
            : placeOnWorkArea(work, size.width() + frame.width(), size.height() + frame.height());
    move(at.x, at.y);
}

void QtStationWindow::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    // Now the frame is known, and the screen the window is on.
    fitToScreen();
    if (!following_ && windowHandle()) {
        following_ = true;
        connect(windowHandle(), &QWindow::screenChanged, this, [this] { fitToScreen(); });
    }
}

QtStationWindow::~QtStationWindow() {
    timer_.stop();
    station_.reset();
}

const QPixmap& QtStationWindow::picture(const std::string& name) {
    auto it = pictures_.find(name);
    if (it == pictures_.end()) {
        it = pictures_.emplace(name, decodePicture(name)).first;
    }
    return it->second;
}

const QPixmap& QtStationWindow::picture(const std::string& name, QSize size) {
    const QPixmap& original = picture(name);
    if (original.isNull() || original.size() == size) {
        return original;
    }
    auto key = std::make_tuple(name, size.width(), size.height());
    auto it = scaledPictures_.find(key);
    if (it == scaledPictures_.end()) {
        it = scaledPictures_
                 .emplace(std::move(key),
                          original.scaled(size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation))
                 .first;
    }
    return it->second;
}

ScreenPoint QtStationWindow::layoutPoint(QPointF at) const {
    return LayoutScale(fit_).toLayout(static_cast<int>(std::floor(at.x())),
                                      static_cast<int>(std::floor(at.y())));
}

void QtStationWindow::paintNow() {
    updateIfChanged();
    repaint();
}

void QtStationWindow::setTimerInterval(int milliseconds) {
    timer_.start(milliseconds, this);
}

void QtStationWindow::stopTimer() {
    timer_.stop();
}

void QtStationWindow::showErrorBox(const std::string& text) {
    QMessageBox::critical(this, windowTitle(), QString::fromStdString(text));
}

void QtStationWindow::paintEvent(QPaintEvent* event) {
    // Only what lies in the region being painted is drawn: an idle tick
    // repaints the status line alone.
    const qreal ratio = devicePixelRatioF();
    const QRect dirty = deviceArea(event->rect(), ratio);
    QPainter window(this);
    if (ratio == 1.0) {
        paintModel(window, dirty);
        return;
    }
    // At another device pixel ratio the model is drawn in device pixels into
    // an image of its own, then copied one to one: painted on the widget, Qt
    // would lay the labels' text out in logical pixels, a few pixels off.
    QImage area(dirty.size(), QImage::Format_RGB32);
    {
        QPainter painter(&area);
        painter.translate(-dirty.topLeft());
        paintModel(painter, dirty);
    }
    area.setDevicePixelRatio(ratio);
    window.drawImage(QPointF(dirty.topLeft()) / ratio, area);
}

void QtStationWindow::paintModel(QPainter& painter, const QRect& dirty) {
    // The model at the screen's ratio times the window's own scale, in device
    // pixels, so that text and pictures are at their scaled sizes.
    const LayoutScale scale = deviceScale();
    if (!station_) {
        painter.fillRect(dirty, Qt::black);
        return;
    }
    const auto& widgets = station_->model().widgets();
    const std::size_t first = station_->model().firstToPaint(
        scale.layoutCovering({dirty.x(), dirty.y(), dirty.width(), dirty.height()}));
    if (first == 0) {
        painter.fillRect(dirty, Qt::black);
    }
    for (std::size_t i = first; i < widgets.size(); ++i) {
        const auto& widget = widgets[i];
        if (!widget->isVisible()) {
            continue;
        }
        const QRect area = toQRect(scale.toDevice(widget->geometry()));
        if (!dirty.intersects(area)) {
            continue;
        }
        if (widget->kind() == WidgetKind::Label) {
            drawLabel(painter, *widget, scale);
            continue;
        }
        if (widget->picture().empty()) {
            continue;
        }
        const QPixmap& original = picture(widget->picture());
        const QPixmap& pixmap =
            picture(widget->picture(),
                    QSize(scale.toDevice(original.width()), scale.toDevice(original.height())));
        QPoint at = area.topLeft();
        if (widget->centred()) {
            at +=
                QPoint((area.width() - pixmap.width()) / 2, (area.height() - pixmap.height()) / 2);
        }
        painter.setClipRect(area);
        painter.drawPixmap(at, pixmap);
        painter.setClipping(false);
    }
}

void QtStationWindow::timerEvent(QTimerEvent* event) {
    if (event->timerId() != timer_.timerId()) {
        QWidget::timerEvent(event);
        return;
    }
    station_->timerTick();
    updateIfChanged();
}

void QtStationWindow::mouseDoubleClickEvent(QMouseEvent* event) {
    const ScreenPoint point = layoutPoint(event->position());
    station_->doubleClick(point.x, point.y, buttonOf(event->button()));
    updateIfChanged();
}

void QtStationWindow::mouseMoveEvent(QMouseEvent* event) {
    const ScreenPoint point = layoutPoint(event->position());
    const Widget* widget = station_->model().widgetAt(point.x, point.y);
    setCursor(widget != nullptr && widget->handCursor() ? Qt::PointingHandCursor : Qt::ArrowCursor);
}

void QtStationWindow::closeEvent(QCloseEvent* event) {
    station_->close();
    QWidget::closeEvent(event);
}

void QtStationWindow::updateIfChanged() {
    if (!station_) {
        return;
    }
    const auto& widgets = station_->model().widgets();
    paintedRevisions_.resize(widgets.size(), ~std::uint64_t{0});
    QRegion changed;
    for (std::size_t i = 0; i < widgets.size(); ++i) {
        if (widgets[i]->revision() != paintedRevisions_[i]) {
            paintedRevisions_[i] = widgets[i]->revision();
            // The logical pixels that hold the widget's device pixels.
            const WidgetRect device = deviceScale().toDevice(widgets[i]->geometry());
            changed += toQRect(LayoutScale(devicePixelRatioF()).layoutCovering(device));
        }
    }
    if (!changed.isEmpty()) {
        update(changed);
    }
}
