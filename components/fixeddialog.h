#pragma once

#include <QDialog>

// A secondary window of the monitor: fixed size, shown modally, in the windows' font. None of them has a cancel
// button, so Escape does not close it; each closes only by its own buttons (or its close box, where it has one).
class FixedDialog : public QDialog {
    Q_OBJECT
public:
    FixedDialog(const char* name, const QString& title, Qt::WindowFlags flags, int width, int height,
                QWidget* parent = nullptr);

protected:
    void keyPressEvent(QKeyEvent* event) override;
};
