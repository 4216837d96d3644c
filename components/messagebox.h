#pragma once

#include <QMessageBox>
#include <QString>

#include <functional>
#include <optional>

// Every box the monitor shows goes through here, so that a test can answer it in advance and a modal box
// never blocks a test (KeePassXC's MessageBox::setNextAnswer idea). The texts are shown as plain text:
// a single CR in them is a line break, and nothing in them is taken for markup.
class MessageBox {
public:
    enum Kind { Warning, Error, Information, Plain };

    // A framework-style box with one "OK" button: captions "Warning" / "Error", or the given title.
    static void ok(QWidget* parent, Kind kind, const QString& title, const QString& text);
    static void warning(QWidget* parent, const QString& text) { ok(parent, Warning, QStringLiteral("Warning"), text); }
    static void error(QWidget* parent, const QString& text) { ok(parent, Error, QStringLiteral("Error"), text); }

    // The same box without a nested event loop: it opens and the caller goes on at once. The box deletes itself
    // when closed; nullptr when the test seam answered it.
    static QMessageBox* open(QWidget* parent, Kind kind, const QString& title, const QString& text);

    // A system Yes/No box without an icon; true for Yes.
    static bool yesNo(QWidget* parent, const QString& title, const QString& text);

    // Test seam. While answers are queued, a box is not shown: it is recorded and answered (Yes = true). Boxes are
    // listed for shown() from the first use of the seam on, never in the program itself.
    static void setNextAnswer(bool yes);
    static void setAutoAnswer(std::optional<bool> yes); // answer every box without showing it
    struct Shown {
        Kind kind;
        QString title;
        QString text;
    };
    static const QList<Shown>& shown();
    static void clearShown();
    // Called with every box before it is shown (tests may observe the event loop while a box is "open").
    static void setObserver(std::function<void(const Shown&)> observer);
};
