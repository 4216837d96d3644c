#pragma once

// The windows' static seams on top of the core's: the message boxes answered in advance and the print dialog's hook,
// all put back when the guard goes. The main window's intervals are no seam: a test hands the window the ones it
// needs when it is made.

#include "components/messagebox.h"
#include "statistika.h"
#include "seams.h"

class WindowSeams : public CoreSeams {
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
