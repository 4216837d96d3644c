// The main window: start-up sequence, titles, the version text, the close confirmation and the log buttons.

#include "support/monitorfixture.h"

#include "components/spinedit.h"
#include "core/host/version.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTabWidget>
#include <QTimer>

class TestMain : public QObject {
    Q_OBJECT

private slots:
    void firstStartWithoutSettingsFile();
    void titlesFollowDescriptionAndLine_data();
    void titlesFollowDescriptionAndLine();
    void versionText_data();
    void versionText();
    void signatureLabelKeepsRightEdge();
    void closeConfirmation_data();
    void closeConfirmation();
    void startupRunsOnceAndMissingDirectoryOpensDialog();
    void spinEditReadingRules();
    void logButtonClearsAndLogIsPlainText();
    void lastLogLineClearOfTheButtons();
    void missingAddressIsSaidOnceAtStart();
};

namespace {
// A window that views the recorder of another process.
class AttachedPort : public RecorderPort {
public:
    void toggleConnection() override {}
    void setHexDump(bool) override {}
    bool attached() const override { return true; }
};
} // namespace

void TestMain::firstStartWithoutSettingsFile() {
    MonitorFixture fx;
    fx.Form1->show();
    QTRY_VERIFY(!fx.Form1->windowTitle().isEmpty());
    QCOMPARE(fx.Form1->windowTitle(), QStringLiteral("I/O - monitor (Linka 1)"));
    QCOMPARE(fx.FrmPocitadla->windowTitle(), QStringLiteral("Počítadla I/O - monitor (Linka 1)"));
    for (int n = 0; n < 8; ++n)
        QCOMPARE(fx.FrmNastav->edCesta[n]->text(), QStringLiteral("/"));
    QCOMPARE(fx.FrmNastav->IPAddress->text(), QStringLiteral("127.0.0.1"));
    QCOMPARE(fx.FrmNastav->IPPort->text(), QStringLiteral("23"));
    QCOMPARE(fx.FrmNastav->edFormat->text(), QStringLiteral("%linka%_%cas%"));
    QCOMPARE(fx.FrmNastav->spPolozek->Value(), 20);
    QCOMPARE(fx.FrmNastav->SpSec->Value(), 15);
    QCOMPARE(fx.watchdogInterval(), 15000);
    QCOMPARE(fx.sequenceNumber(), 1);
    // The root folder exists: no directory message, and no connection without "Login".
    QVERIFY(MessageBox::shown().isEmpty());
    QCOMPARE(fx.Form1->btnPripoj->text(), QStringLiteral("&Připojit"));
    QCOMPARE(fx.Form1->GroupBox1->title(), QStringLiteral(" Status signálů - Bit 0..7 "));
    for (auto* led : fx.Form1->Leds) {
        QCOMPARE(led->state(), lsOFF);
        QCOMPARE(led->color(), lcRed);
    }
    QCOMPARE(fx.Form1->size(), QSize(330, 258));
    saveScreenshot(fx.Form1, QStringLiteral("main-window.png"));
}

void TestMain::titlesFollowDescriptionAndLine_data() {
    QTest::addColumn<QString>("description");
    QTest::addColumn<int>("line");
    QTest::addColumn<QString>("title");
    QTest::newRow("default") << "monitor" << 1 << "I/O - monitor (Linka 1)";
    QTest::newRow("empty") << "" << 42 << "I/O -  (Linka 42)";
    const QString longText = QString(300, QLatin1Char('x'));
    QTest::newRow("long") << longText << 7 << QStringLiteral("I/O - %1 (Linka 7)").arg(longText);
}

void TestMain::titlesFollowDescriptionAndLine() {
    QFETCH(QString, description);
    QFETCH(int, line);
    QFETCH(QString, title);
    MonitorFixture fx;
    fx.FrmNastav->edPopis->setText(description);
    fx.FrmNastav->SpinCislo->setValueClamped(line);
    fx.Form1->RefreshTitles();
    QCOMPARE(fx.Form1->windowTitle(), title);
    QCOMPARE(fx.Form1->applicationTitle(), title);
    QCOMPARE(fx.FrmPocitadla->windowTitle(), QStringLiteral("Počítadla ") + title);
}

void TestMain::versionText_data() {
    QTest::addColumn<bool>("present");
    QTest::addColumn<QString>("text");
    QTest::newRow("2.1.0.49") << true << "2.1.49";
    QTest::newRow("none") << false << "";
}

void TestMain::versionText() {
    QFETCH(bool, present);
    QFETCH(QString, text);
    const auto version = present ? std::optional<std::array<int, 4>>({2, 1, 0, 49}) : std::nullopt;
    QCOMPARE(::versionText(version), text);
    QCOMPARE(QStringLiteral("Delvor Labs - verze programu:") + ::versionText(version),
             present ? QStringLiteral("Delvor Labs - verze programu:2.1.49")
                     : QStringLiteral("Delvor Labs - verze programu:"));
}

void TestMain::signatureLabelKeepsRightEdge() {
    MonitorFixture fx;
    QVERIFY(fx.Form1->Label2->text().startsWith(QStringLiteral("Delvor Labs - verze programu:")));
    QCOMPARE(fx.Form1->Label2->text(),
             QStringLiteral("Delvor Labs - verze programu:") + ::versionText(productVersion()));
    QCOMPARE(fx.Form1->Label2->geometry().right() + 1, 320);
    QCOMPARE(fx.Form1->Label2->y(), 240);
    QVERIFY(fx.Form1->Label2->font().bold() && fx.Form1->Label2->font().italic());
}

void TestMain::closeConfirmation_data() {
    QTest::addColumn<bool>("yes");
    QTest::newRow("Yes closes") << true;
    QTest::newRow("No keeps running") << false;
}

void TestMain::closeConfirmation() {
    QFETCH(bool, yes);
    MonitorFixture fx(yes);
    fx.Form1->show();
    QTRY_VERIFY(!fx.Form1->windowTitle().isEmpty());
    MessageBox::clearShown();
    fx.App->onCore([&fx] { fx.App->monitor->watchdog()->start(60000); });
    const bool closed = fx.Form1->close();
    QCOMPARE(closed, yes);
    QCOMPARE(MessageBox::shown().size(), 1);
    const auto box = MessageBox::shown().first();
    QCOMPARE(box.title, QStringLiteral("Ukončit"));
    QCOMPARE(box.text, QStringLiteral("!!! Pozor !!!\rUkončením programu nebude možné dále sledovat impulzy !!!\r"
                                      "Opravdu chcete program ukončit ???"));
    QCOMPARE(fx.Form1->isVisible(), !yes);
    if (yes)
        return;
    // Answering No leaves the watchdog as it was.
    QVERIFY(fx.watchdogActive());
    // A desktop session that ends closes the monitor without the box.
    MessageBox::clearShown();
    fx.Form1->sessionEnding();
    QVERIFY(fx.Form1->close());
    QVERIFY(MessageBox::shown().isEmpty());
}

void TestMain::startupRunsOnceAndMissingDirectoryOpensDialog() {
    MonitorFixture fx;
    QStringList lines = fx.existingDirectories();
    lines.replaceInStrings(QRegularExpression(QStringLiteral("^Soubor3=.*")),
                           QStringLiteral("Soubor3=%1").arg(fx.dir.filePath(QStringLiteral("missing"))));
    fx.writeIni(lines);
    int dialogOpenings = 0;
    // The settings dialog opens modally after the directory message; close it from inside its loop.
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (fx.FrmNastav->isVisible()) {
            ++dialogOpenings;
            fx.FrmNastav->close();
        }
    });
    poll.start(20);
    fx.Form1->show();
    QTRY_COMPARE(dialogOpenings, 1);
    QCOMPARE(MessageBox::shown().size(), 1);
    QCOMPARE(MessageBox::shown().first().title, QStringLiteral("Error"));
    QVERIFY(MessageBox::shown().first().text.contains(QStringLiteral(" (Bit3)\r")));
    // Opening and closing a secondary window does not run the start-up sequence again.
    QSignalSpy startup(fx.Form1, &TForm1::startupRequested);
    fx.Form1->hide();
    fx.Form1->show();
    QVERIFY(!startup.wait(50));
    QCOMPARE(dialogOpenings, 1);
    QCOMPARE(MessageBox::shown().size(), 1);
}

void TestMain::spinEditReadingRules() {
    MonitorFixture fx;
    // Values at creation.
    QCOMPARE(fx.FrmNastav->SpSec->Value(), 1);
    QCOMPARE(fx.FrmNastav->spPolozek->Value(), 1);
    QCOMPARE(fx.FrmNastav->SpinCislo->Value(), 1);
    QVERIFY(fx.FrmNastav->edCesta[0]->text().isEmpty());
    // Putting a value clamps it.
    fx.FrmNastav->SpSec->setValueClamped(0);
    QCOMPARE(fx.FrmNastav->SpSec->Value(), 1);
    fx.FrmNastav->SpSec->setValueClamped(100);
    QCOMPARE(fx.FrmNastav->SpSec->Value(), 60);
    // A cleared field reads as its minimum.
    fx.FrmNastav->spPolozek->setValueClamped(50);
    fx.FrmNastav->spPolozek->lineEdit()->clear();
    QCOMPARE(fx.FrmNastav->spPolozek->Value(), 1);
    // Putting the value it showed before the clearing brings the text back.
    fx.FrmNastav->spPolozek->setValueClamped(50);
    QCOMPARE(fx.FrmNastav->spPolozek->text(), QStringLiteral("50"));
    // Leaving the field replaces a typed value out of range by the nearer limit.
    fx.FrmNastav->show();
    fx.FrmNastav->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(fx.FrmNastav));
    fx.FrmNastav->PageControl1->setCurrentIndex(0);
    fx.FrmNastav->SpSec->setFocus();
    fx.FrmNastav->SpSec->lineEdit()->selectAll();
    QTest::keyClicks(fx.FrmNastav->SpSec, QStringLiteral("75"));
    QCOMPARE(fx.FrmNastav->SpSec->Value(), 75);
    fx.FrmNastav->IPAddress->setFocus();
    QTRY_COMPARE(fx.FrmNastav->SpSec->Value(), 60);
    QCOMPARE(fx.FrmNastav->SpSec->text(), QStringLiteral("60"));
    fx.FrmNastav->hide();
}

void TestMain::logButtonClearsAndLogIsPlainText() {
    MonitorFixture fx;
    fx.Form1->appendLog(QStringLiteral("<b>bold</b>"));
    fx.Form1->appendLog(QStringLiteral("second"));
    QCOMPARE(fx.Form1->logLineCount(), 2);
    QVERIFY(fx.Form1->Memo1->toPlainText().startsWith(QStringLiteral("<b>bold</b>")));
    QTest::mouseClick(fx.Form1->btnSmazat, Qt::LeftButton);
    QCOMPARE(fx.Form1->logLineCount(), 0);
}

// The newest log line is read in full in every kind of window: none of the buttons in front of the log's lower
// right part covers it, however long the line or the log.
void TestMain::lastLogLineClearOfTheButtons() {
    MonitorFixture fx;
    AttachedPort port;
    TForm1 attached(fx.App->settings, port);
    for (TForm1* form : {fx.Form1, &attached}) {
        for (int i = 0; i < 40; ++i)
            form->appendLog(
                QStringLiteral("LOG1 Bit: 0,1,2,3,4,5,6,7 - 08.12.26 10:00:%1").arg(i, 2, 10, QLatin1Char('0')));
        form->show();
        QVERIFY(QTest::qWaitForWindowExposed(form));
        QPlainTextEdit* log = form->Memo1;
        QTextCursor end(log->document());
        end.movePosition(QTextCursor::End);
        log->setTextCursor(end);
        log->ensureCursorVisible();
        // The last line spans the log's whole width, where a line of that length reaches.
        const QRect caret = log->cursorRect(end);
        const QRect line(log->viewport()->mapTo(form, QPoint(0, caret.top())),
                         QSize(log->viewport()->width(), caret.height()));
        QVERIFY2(QRect(log->viewport()->mapTo(form, QPoint(0, 0)), log->viewport()->size()).contains(line),
                 "the last line lies outside the log's text area");
        for (QPushButton* button : {form->btnStatistika, form->btnPocitadla, form->btnSmazat})
            QVERIFY2(!line.intersects(button->geometry()), qPrintable(button->text()));
        form->hide();
    }
}

// Without a controller address every attempt ends in "Socket error: 10057": the log says why, once, at start.
void TestMain::missingAddressIsSaidOnceAtStart() {
    MonitorFixture fx;
    fx.writeIni({QStringLiteral("IP=")});
    fx.Form1->show();
    QTRY_VERIFY(fx.Form1->Memo1->toPlainText().contains(QStringLiteral("chybí IP adresa")));
    QCOMPARE(fx.Form1->Memo1->toPlainText().count(QStringLiteral("chybí IP adresa")), 1);
}

QTEST_MAIN(TestMain)
#include "tst_main.moc"
