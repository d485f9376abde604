// What the station's logic asks of the window it runs in, and nothing more.
//
// The window (Qt on Linux, Win32 on Windows) draws the station's widget model,
// runs one repeating timer, delivers its ticks and the mouse's double-clicks to
// the station, and shows the error box. Everything is called on the window's
// one thread.
#pragma once

#include <string>

class IStationWindow {
public:
    virtual ~IStationWindow() = default;

    // Paints every pending change of the widget model at once, before
    // returning: the station is about to block in a device wait.
    virtual void paintNow() = 0;
    // (Re)starts the repeating timer with this interval: the countdown to the
    // next tick starts again from now.
    virtual void setTimerInterval(int milliseconds) = 0;
    // No more ticks until setTimerInterval is called again.
    virtual void stopTimer() = 0;
    // The modal error box with this text (UTF-8); returns once the user has
    // dismissed it. Its own message loop may deliver ticks meanwhile: the
    // station ignores them.
    virtual void showErrorBox(const std::string& text) = 0;
};
