// The idle bench's reference for the Qt station: the least a Qt window can do
// at the station's idle rate, a 100 ms timer that changes one label's text.
// Its figure is the toolkit's floor on this machine.
#include <QApplication>
#include <QLabel>
#include <QTimer>

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    QLabel label;
    label.setFixedSize(690, 643); // the station's client size
    label.setAlignment(Qt::AlignCenter);
    int ticks = 0;
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout,
                     [&] { label.setText(QString::number(++ticks % 4)); });
    timer.start(100);
    label.show();
    return QApplication::exec();
}
