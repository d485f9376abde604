#include "StationApplication.h"

#include <QMessageBox>

#include <exception>

StationApplication::StationApplication(int& argc, char** argv) : QApplication(argc, argv) {
    setApplicationName(QStringLiteral("Evaluator Test Station"));
}

bool StationApplication::notify(QObject* receiver, QEvent* event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception& error) {
        showError(QString::fromLocal8Bit(error.what()));
        return false;
    }
}

void StationApplication::showError(const QString& text) {
    QMessageBox::critical(activeWindow(), applicationName(), text);
}
