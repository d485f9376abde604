#include "StationApplication.h"

#include <QMessageBox>

StationApplication::StationApplication(int& argc, char** argv) : QApplication(argc, argv) {
    setApplicationName(QStringLiteral("Evaluator Test Station"));
}

void StationApplication::handleException(const std::exception& error) noexcept {
    try {
        const QString text = QString::fromLocal8Bit(error.what());
        if (auto* application = dynamic_cast<StationApplication*>(QCoreApplication::instance())) {
            application->showError(text);
        } else {
            QMessageBox::critical(nullptr, QString(), text);
        }
    } catch (...) {
        // Nothing is left to tell the error with; the window goes on regardless.
    }
}

bool StationApplication::notify(QObject* receiver, QEvent* event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception& error) {
        handleException(error);
        return false;
    }
}

void StationApplication::showError(const QString& text) {
    QMessageBox::critical(activeWindow(), applicationName(), text);
}
