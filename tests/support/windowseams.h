#pragma once

// The windows' static seams: the message boxes answered in advance, the main window's grace periods and the print
// dialog's hook, all put back when the guard goes. (The core has none: it takes its timings and clock from the
// configuration it is made with.)

#include "components/messagebox.h"
#include "main.h"
#include "statistika.h"

#include <functional>

class WindowSeams {
public:
    WindowSeams() = default;
    ~WindowSeams() {
        MessageBox::setAutoAnswer(std::nullopt);
        MessageBox::setObserver({});
        MessageBox::clearShown();
        TForm1::SessionEndGraceMs = m_sessionEndGraceMs;
        TForm1::WriteFailureNoticeMs = m_writeFailureNoticeMs;
        TfrmStatistika::printDialogHook = m_printDialogHook;
    }

private:
    int m_sessionEndGraceMs = TForm1::SessionEndGraceMs;
    int m_writeFailureNoticeMs = TForm1::WriteFailureNoticeMs;
    std::function<bool(QPrinter&)> m_printDialogHook = TfrmStatistika::printDialogHook;
};
