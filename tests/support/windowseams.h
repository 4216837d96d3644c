#pragma once

// The windows' static seams: the message boxes answered in advance and the print dialog's hook, all put back when
// the guard goes. The core has none (it takes its timings and clock from the configuration it is made with), and
// neither has the main window (a test hands it the intervals it needs when it is made).

#include "components/messagebox.h"
#include "statistika.h"

#include <functional>

class WindowSeams {
public:
    WindowSeams() = default;
    ~WindowSeams() {
        MessageBox::setAutoAnswer(std::nullopt);
        MessageBox::setObserver({});
        MessageBox::clearShown();
        TfrmStatistika::printDialogHook = m_printDialogHook;
    }

private:
    std::function<bool(QPrinter&)> m_printDialogHook = TfrmStatistika::printDialogHook;
};
