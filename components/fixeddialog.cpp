#include "components/fixeddialog.h"

#include "components/controls.h"

#include <QKeyEvent>

FixedDialog::FixedDialog(const char* name, const QString& title, Qt::WindowFlags flags, int width, int height,
                         QWidget* parent)
    : QDialog(parent) {
    setObjectName(QLatin1String(name));
    setWindowTitle(title);
    setWindowFlags(flags);
    setFont(windowFont());
    setFixedSize(width, height);
    setModal(true);
}

void FixedDialog::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape) {
        event->ignore();
        return;
    }
    QDialog::keyPressEvent(event);
}
