// The station's TMainForm as the window sees it.
#pragma once

#include "Win32Window.h"
#include "frmMain.h"

class FormCore final : public IStationCore {
public:
    explicit FormCore(TMainForm& form) : form_(form) {}
    const WidgetModel& model() const override { return form_.model(); }
    void timerTick() override { form_.timerTick(); }
    void doubleClick(int x, int y, MouseButton button) override { form_.doubleClick(x, y, button); }
    void close() override { form_.close(); }

private:
    TMainForm& form_;
};

// The window's title as the W functions take it.
inline std::wstring stationTitle() {
    return wideText(kStationTitle);
}
