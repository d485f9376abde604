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

void drawLabel(QPainter& painter, const Widget& label) {
    const WidgetRect& g = label.geometry();
    const QRect area(g.left, g.top, g.width, g.height);
    painter.fillRect(area, Qt::black);
    const QString text = QString::fromStdString(label.text());
    QFont font = labelFont(label.font());
    if (label.shrinkToFit()) {
        while (font.pixelSize() > 6 && QFontMetrics(font).horizontalAdvance(text) > g.width) {
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
    setFixedSize(kClientWidth, kClientHeight);
    setAttribute(Qt::WA_OpaquePaintEvent);
    setMouseTracking(true);
    QFont font;
    font.setFamilies(
        {QStringLiteral("Tahoma"), QStringLiteral("DejaVu Sans"), QStringLiteral("Verdana")});
    font.setPixelSize(11);
    setFont(font);
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        // move() places the frame, so the title bar stays on the work area.
        const QRect work = screen->availableGeometry();
        const ScreenPoint at =
            placeOnWorkArea({work.x(), work.y(), work.width(), work.height()}, width(), height());
        move(at.x, at.y);
    }
    station_ = std::make_unique<TMainForm>(*this, std::move(kinds));
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
    QPainter painter(this);
    // Only what lies in the region being painted is drawn: an idle tick
    // repaints the status line alone.
    const QRect dirty = event->rect();
    if (!station_) {
        painter.fillRect(dirty, Qt::black);
        return;
    }
    const auto& widgets = station_->model().widgets();
    const std::size_t first =
        station_->model().firstToPaint({dirty.x(), dirty.y(), dirty.width(), dirty.height()});
    if (first == 0) {
        painter.fillRect(dirty, Qt::black);
    }
    for (std::size_t i = first; i < widgets.size(); ++i) {
        const auto& widget = widgets[i];
        if (!widget->isVisible()) {
            continue;
        }
        const WidgetRect& g = widget->geometry();
        if (!dirty.intersects(QRect(g.left, g.top, g.width, g.height))) {
            continue;
        }
        if (widget->kind() == WidgetKind::Label) {
            drawLabel(painter, *widget);
            continue;
        }
        if (widget->picture().empty()) {
            continue;
        }
        const QPixmap& pixmap = picture(widget->picture());
        QPoint at(g.left, g.top);
        if (widget->centred()) {
            at += QPoint((g.width - pixmap.width()) / 2, (g.height - pixmap.height()) / 2);
        }
        painter.setClipRect(QRect(g.left, g.top, g.width, g.height));
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
    const QPoint at = event->position().toPoint();
    station_->doubleClick(at.x(), at.y(), buttonOf(event->button()));
    updateIfChanged();
}

void QtStationWindow::mouseMoveEvent(QMouseEvent* event) {
    const QPoint at = event->position().toPoint();
    const Widget* widget = station_->model().widgetAt(at.x(), at.y());
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
            const WidgetRect& g = widgets[i]->geometry();
            changed += QRect(g.left, g.top, g.width, g.height);
        }
    }
    if (!changed.isEmpty()) {
        update(changed);
    }
}
