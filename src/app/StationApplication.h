// The application object. It plays the toolkit's default error handler: an
// exception that leaves one of the station's event handlers (in this station
// only the counters file's write error) ends that handler where it was raised,
// is shown in an error box, and the window goes on handling events.
#pragma once

#include <QApplication>
#include <QString>

#include <exception>

class StationApplication : public QApplication {
public:
    StationApplication(int& argc, char** argv);

    // Runs one of the station's event handlers. An exception that leaves it is
    // shown in the error box and goes no further: the toolkit's own code, which
    // delivered the event, is built without exception clean-ups.
    template <class Handler> static void runHandler(Handler&& handler) noexcept {
        try {
            handler();
        } catch (const std::exception& error) {
            handleException(error);
        }
    }

    // Shows the error box for an exception that ended an event handler.
    static void handleException(const std::exception& error) noexcept;

    // The last resort for an exception from anywhere else in event delivery.
    bool notify(QObject* receiver, QEvent* event) override;

protected:
    // Shows the error box. Virtual so that a test can record the text instead.
    virtual void showError(const QString& text);
};
