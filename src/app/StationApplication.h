// The application object. It plays the toolkit's default error handler: an
// exception that leaves an event handler (in this station only the counters
// file's write error) ends that handler, is shown in an error box, and the
// window goes on handling events.
#pragma once

#include <QApplication>
#include <QString>

class StationApplication : public QApplication {
public:
    StationApplication(int& argc, char** argv);

    bool notify(QObject* receiver, QEvent* event) override;

protected:
    // Shows the error box. Virtual so that a test can record the text instead.
    virtual void showError(const QString& text);
};
