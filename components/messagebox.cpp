#include "components/messagebox.h"

#include <QList>

namespace {
QList<bool> g_answers;
std::optional<bool> g_auto;
QList<MessageBox::Shown> g_shown;
std::function<void(const MessageBox::Shown&)> g_observer;
// Boxes are listed only once a test has used the seam; the program itself keeps no list of what it showed.
bool g_listing = false;

std::optional<bool> cannedAnswer(const MessageBox::Shown& box) {
    if (g_listing)
        g_shown.append(box);
    if (g_observer)
        g_observer(box);
    if (!g_answers.isEmpty())
        return g_answers.takeFirst();
    return g_auto;
}

QMessageBox::Icon iconFor(MessageBox::Kind kind) {
    switch (kind) {
    case MessageBox::Warning:
        return QMessageBox::Warning;
    case MessageBox::Error:
        return QMessageBox::Critical;
    case MessageBox::Information:
        return QMessageBox::Information;
    case MessageBox::Plain:
        break;
    }
    return QMessageBox::NoIcon;
}
} // namespace

void MessageBox::ok(QWidget* parent, Kind kind, const QString& title, const QString& text) {
    if (cannedAnswer({kind, title, text}))
        return;
    QMessageBox box(iconFor(kind), title, text, QMessageBox::Ok, parent);
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

QMessageBox* MessageBox::open(QWidget* parent, Kind kind, const QString& title, const QString& text) {
    if (cannedAnswer({kind, title, text}))
        return nullptr;
    auto* box = new QMessageBox(iconFor(kind), title, text, QMessageBox::Ok, parent);
    box->setTextFormat(Qt::PlainText);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::NonModal);
    box->open();
    return box;
}

bool MessageBox::yesNo(QWidget* parent, const QString& title, const QString& text) {
    if (auto answer = cannedAnswer({Plain, title, text}))
        return *answer;
    QMessageBox box(QMessageBox::NoIcon, title, text, QMessageBox::Yes | QMessageBox::No, parent);
    box.setTextFormat(Qt::PlainText);
    return box.exec() == QMessageBox::Yes;
}

void MessageBox::setNextAnswer(bool yes) {
    g_listing = true;
    g_answers.append(yes);
}

void MessageBox::setAutoAnswer(std::optional<bool> yes) {
    g_listing = true;
    g_auto = yes;
}

const QList<MessageBox::Shown>& MessageBox::shown() {
    return g_shown;
}

void MessageBox::clearShown() {
    g_listing = true;
    g_shown.clear();
}

void MessageBox::setObserver(std::function<void(const Shown&)> observer) {
    g_listing = true;
    g_observer = std::move(observer);
}
