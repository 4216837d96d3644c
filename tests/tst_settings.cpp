// The settings dialog with its file: loads, saves, the autostart entry, the directory check and the preview.

#include "support/monitorfixture.h"

#include "components/spinedit.h"
#include "core/settings/autostart.h"
#include "core/settings/inifile.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSemaphore>
#include <QSignalSpy>
#include <QTabWidget>
#include <QTimer>

#include <memory>

namespace {

// Holds the core's thread from the moment it is made until release() or its end, as a settings file on a mount that
// stopped answering, or an event file's sync, would hold it. Bounded: the core goes on by itself after 15 s.
class CoreHold {
public:
    explicit CoreHold(Monitor* core) {
        QMetaObject::invokeMethod(
            core,
            [gate = m_gate, entered = m_entered] {
                entered->release();
                gate->tryAcquire(1, 15000);
            },
            Qt::QueuedConnection);
        m_held = m_entered->tryAcquire(1, 10000);
    }
    ~CoreHold() { release(); }
    CoreHold(const CoreHold&) = delete;
    CoreHold& operator=(const CoreHold&) = delete;
    bool held() const { return m_held; }
    void release() {
        if (std::exchange(m_held, false))
            m_gate->release();
    }

private:
    // Shared with the core's side, which may still be inside tryAcquire() when the test has returned.
    std::shared_ptr<QSemaphore> m_gate = std::make_shared<QSemaphore>();
    std::shared_ptr<QSemaphore> m_entered = std::make_shared<QSemaphore>();
    bool m_held = false;
};

// Counts the ticks of a timer on the GUI thread: they go on only while that thread's event loop runs.
class GuiTicks {
public:
    GuiTicks() {
        QObject::connect(&m_timer, &QTimer::timeout, [this] { ++m_count; });
        m_timer.start(20);
    }
    int count() const { return m_count; }

private:
    QTimer m_timer;
    int m_count = 0;
};

} // namespace

class TestSettings : public QObject {
    Q_OBJECT

private slots:
    void loadAppliesStoredValuesAndClamps();
    void autostartFollowsTheThreeBoxes_data();
    void autostartFollowsTheThreeBoxes();
    void autostartFailureEndsTheLoad();
    void directoryCheckMessage();
    void closeReloadsOverUnsavedEdits();
    void saveWritesCanonicalFormsAndSurvivesRestart();
    void failedSaveKeepsDialogOpen();
    void windowRunsWhileTheCoreHoldsTheSave();
    void closedDialogKeepsItsPendingSave();
    void previewAndActivation();
    void folderButtonFillsItsOwnEdit();
    void numbersAreNotIssuedTwiceWhenTheFileRefuses_data();
    void numbersAreNotIssuedTwiceWhenTheFileRefuses();
    void numberingMovesToTheStateCopyOnce();
};

void TestSettings::loadAppliesStoredValuesAndClamps() {
    MonitorFixture fx;
    fx.writeIni({QStringLiteral("Cislo_linky=0x0A"), QStringLiteral("Sec=0"), QStringLiteral("Pocet=100"),
                 QStringLiteral("Bit3=2"), QStringLiteral("Bit4=-1"), QStringLiteral("Bit5=yes"),
                 QStringLiteral("Popis="), QStringLiteral("Por_cislo=123456"), QStringLiteral("Port=telnet")});
    fx.Form1->LoadSettings();
    QCOMPARE(fx.FrmNastav->SpinCislo->Value(), 10);
    QCOMPARE(fx.FrmNastav->SpSec->Value(), 1);
    QCOMPARE(fx.watchdogInterval(), 1000);
    QCOMPARE(fx.FrmNastav->spPolozek->Value(), 99);
    QVERIFY(fx.FrmNastav->cbBit[3]->isChecked());
    QVERIFY(fx.FrmNastav->cbBit[4]->isChecked());
    QVERIFY(!fx.FrmNastav->cbBit[5]->isChecked());
    QCOMPARE(fx.FrmNastav->edPopis->text(), QString());
    QCOMPARE(fx.Form1->windowTitle(), QStringLiteral("I/O -  (Linka 10)"));
    QCOMPARE(fx.sequenceNumber(), 123456); // taken as it is, without a range check
    QCOMPARE(fx.FrmNastav->IPPort->text(), QStringLiteral("telnet"));

    fx.writeIni({QStringLiteral("Sec=100"), QStringLiteral("Cislo_linky=abc")});
    fx.Form1->LoadSettings();
    QCOMPARE(fx.FrmNastav->SpSec->Value(), 60);
    QCOMPARE(fx.watchdogInterval(), 60000);
    QCOMPARE(fx.FrmNastav->SpinCislo->Value(), 1);
}

void TestSettings::autostartFollowsTheThreeBoxes_data() {
    QTest::addColumn<QStringList>("stored");
    QTest::addColumn<bool>("entryBefore");
    QTest::addColumn<bool>("entryAfter");
    QTest::newRow("Start writes") << QStringList{QStringLiteral("Start=1")} << false << true;
    QTest::newRow("Start rewrites a stale entry") << QStringList{QStringLiteral("Start=1")} << true << true;
    QTest::newRow("Login alone deletes") << QStringList{QStringLiteral("Login=1")} << true << false;
    QTest::newRow("Mazat alone deletes") << QStringList{QStringLiteral("Mazat=1")} << true << false;
    QTest::newRow("all off leaves it") << QStringList{} << true << true;
    QTest::newRow("all off, none stays none") << QStringList{} << false << false;
}

void TestSettings::autostartFollowsTheThreeBoxes() {
    QFETCH(QStringList, stored);
    QFETCH(bool, entryBefore);
    QFETCH(bool, entryAfter);
    MonitorFixture fx;
    const QString entry = autostartFilePath(QStringLiteral("dokonceni"));
    QVERIFY(entry.startsWith(fx.dir.path()));
    if (entryBefore) {
        QDir().mkpath(QFileInfo(entry).absolutePath());
        QFile stale(entry);
        QVERIFY(stale.open(QIODevice::WriteOnly));
        stale.write("[Desktop Entry]\nExec=\"/old/place/impulz\"\n");
    }
    fx.writeIni(stored);
    fx.Form1->LoadSettings();
    QCOMPARE(QFile::exists(entry), entryAfter);
    if (entryAfter && stored.contains(QStringLiteral("Start=1"))) {
        QFile written(entry);
        QVERIFY(written.open(QIODevice::ReadOnly));
        const QString text = QString::fromUtf8(written.readAll());
        QVERIFY(text.contains(QStringLiteral("[Desktop Entry]")));
        QVERIFY(text.contains(QStringLiteral("Type=Application")));
        QVERIFY(text.contains(QStringLiteral("Name=Impulz")));
        QVERIFY(text.contains(QStringLiteral("Exec=\"%1\"").arg(QCoreApplication::applicationFilePath())));
    }

    // A click changes the entry at once; "&Zavři" then reloads the stored state and re-applies it.
    fx.FrmNastav->cbAutostart->setChecked(!fx.FrmNastav->cbAutostart->isChecked());
    QCOMPARE(QFile::exists(entry), fx.FrmNastav->cbAutostart->isChecked());
    const bool clickedState = fx.FrmNastav->cbAutostart->isChecked();
    fx.FrmNastav->btnZavriClick();
    QTRY_VERIFY(!fx.FrmNastav->pending());
    QCOMPARE(fx.FrmNastav->cbAutostart->isChecked(), !clickedState);
    QCOMPARE(QFile::exists(entry), !clickedState);
}

void TestSettings::autostartFailureEndsTheLoad() {
    MonitorFixture fx;
    // A file where the autostart folder should be: the entry cannot be written.
    const QString config = fx.dir.filePath(QStringLiteral("config"));
    QDir().mkpath(config);
    QFile blocker(config + QStringLiteral("/autostart"));
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    fx.writeIni({QStringLiteral("Start=1"), QStringLiteral("Mazat=1"), QStringLiteral("Sec=7"),
                 QStringLiteral("Popis=stored")});
    MessageBox::clearShown();
    QVERIFY(!fx.Form1->runLoadSettings());
    QCOMPARE(MessageBox::shown().size(), 1);
    QCOMPARE(MessageBox::shown().first().text, QStringLiteral("Failed to set data for 'dokonceni'"));
    QCOMPARE(MessageBox::shown().first().title, QStringLiteral("Error"));
    // Keys before "Start" were loaded; those after it kept what the fields held; no titles, no interval.
    QCOMPARE(fx.FrmNastav->edPopis->text(), QStringLiteral("stored"));
    QVERIFY(fx.FrmNastav->cbAutostart->isChecked());
    QVERIFY(!fx.FrmNastav->cbSmazat->isChecked());
    QCOMPARE(fx.FrmNastav->SpSec->Value(), 1);
    QVERIFY(fx.Form1->windowTitle().isEmpty());
}

void TestSettings::directoryCheckMessage() {
    MonitorFixture fx;
    QStringList lines = fx.existingDirectories();
    const QString missing2 = fx.dir.filePath(QStringLiteral("nowhere2"));
    QFile plainFile(fx.dir.filePath(QStringLiteral("plain-file")));
    QVERIFY(plainFile.open(QIODevice::WriteOnly));
    plainFile.close();
    lines[2] = QStringLiteral("Soubor2=") + missing2;
    lines[5] = QStringLiteral("Soubor5=") + plainFile.fileName();
    fx.writeIni(lines);
    fx.Form1->LoadSettings();
    MessageBox::clearShown();
    QVERIFY(!fx.Form1->CheckOutputDirectories());
    QCOMPARE(MessageBox::shown().size(), 1);
    QCOMPARE(MessageBox::shown().first().title, QStringLiteral("Error"));
    QCOMPARE(MessageBox::shown().first().text,
             QStringLiteral("Nenalezen adresář:\r%1 (Bit2)\r%2 (Bit5)\r\rAplikace nebude pracovat korektně !!!\r"
                            "Zkontrolujte nastavení !!!")
                 .arg(missing2, plainFile.fileName()));
    fx.FrmNastav->edCesta[2]->setText(fx.eventDir(2));
    fx.FrmNastav->edCesta[5]->setText(QString()); // an empty text fails too
    MessageBox::clearShown();
    QVERIFY(!fx.Form1->CheckOutputDirectories());
    QVERIFY(MessageBox::shown().first().text.contains(QStringLiteral("\r (Bit5)\r")));
    fx.FrmNastav->edCesta[5]->setText(fx.eventDir(5));
    QVERIFY(fx.Form1->CheckOutputDirectories());
}

void TestSettings::closeReloadsOverUnsavedEdits() {
    MonitorFixture fx;
    fx.writeIni(fx.existingDirectories() << QStringLiteral("Popis=stored") << QStringLiteral("Por_cislo=40"));
    fx.Form1->LoadSettings();
    fx.FrmNastav->edPopis->setText(QStringLiteral("edited"));
    fx.FrmNastav->edCesta[3]->setText(QStringLiteral("/somewhere/else"));
    fx.App->settings.setSequenceNumber(45);
    fx.FrmNastav->btnZavriClick();
    QTRY_VERIFY(!fx.FrmNastav->pending());
    QCOMPARE(fx.FrmNastav->edPopis->text(), QStringLiteral("stored"));
    QCOMPARE(fx.FrmNastav->edCesta[3]->text(), fx.eventDir(3));
    QCOMPARE(fx.sequenceNumber(), 40);
    QCOMPARE(fx.Form1->windowTitle(), QStringLiteral("I/O - stored (Linka 1)"));
}

void TestSettings::saveWritesCanonicalFormsAndSurvivesRestart() {
    QTemporaryDir keep;
    QString iniText;
    {
        MonitorFixture fx;
        fx.writeIni(fx.existingDirectories() << QStringLiteral("Bit1=-7") << QStringLiteral("Sec=0x1e")
                                             << QStringLiteral("; operator's note") << QStringLiteral("Extra=kept"));
        fx.Form1->LoadSettings();
        fx.FrmNastav->edPopis->setText(QStringLiteral("Lisovna č. 3"));
        fx.FrmNastav->SpinCislo->setValueClamped(3);
        fx.FrmNastav->cbObnovit->setChecked(true);
        fx.FrmNastav->edFormat->setText(QStringLiteral("L%numl%_%numco%"));
        fx.FrmNastav->show();
        fx.FrmNastav->btnUlozClick();
        QTRY_VERIFY(!fx.FrmNastav->pending());
        QVERIFY(!fx.FrmNastav->isVisible()); // all directories exist: the dialog closes
        QCOMPARE(fx.Form1->windowTitle(), QStringLiteral("I/O - Lisovna č. 3 (Linka 3)"));
        fx.App->settings.setSequenceNumber(77);
        fx.App->FormDestroy(); // the exit write of the running number
        QFile file(fx.iniPath());
        QVERIFY(file.open(QIODevice::ReadOnly));
        iniText = QString::fromUtf8(file.readAll());
        QVERIFY(iniText.contains(QStringLiteral("Bit1=1\n")));
        QVERIFY(iniText.contains(QStringLiteral("Sec=30\n")));
        QVERIFY(iniText.contains(QStringLiteral("Obnovit=1\n")));
        QVERIFY(iniText.contains(QStringLiteral("Extra=kept")));
        QVERIFY(iniText.contains(QStringLiteral("; operator's note")));
        QVERIFY(iniText.contains(QStringLiteral("Por_cislo=77")));
        QVERIFY(QFile::copy(fx.iniPath(), keep.filePath(QStringLiteral("impulz.ini"))));
    }
    // A new start reads the same values back.
    MonitorFixture fx;
    QFile::remove(fx.iniPath());
    QVERIFY(QFile::copy(keep.filePath(QStringLiteral("impulz.ini")), fx.iniPath()));
    fx.Form1->LoadSettings();
    QCOMPARE(fx.FrmNastav->edPopis->text(), QStringLiteral("Lisovna č. 3"));
    QCOMPARE(fx.FrmNastav->SpinCislo->Value(), 3);
    QCOMPARE(fx.FrmNastav->SpSec->Value(), 30);
    QVERIFY(fx.FrmNastav->cbObnovit->isChecked());
    QVERIFY(fx.FrmNastav->cbBit[1]->isChecked());
    QCOMPARE(fx.FrmNastav->edFormat->text(), QStringLiteral("L%numl%_%numco%"));
    QCOMPARE(fx.sequenceNumber(), 77);
}

void TestSettings::failedSaveKeepsDialogOpen() {
    MonitorFixture fx;
    fx.writeIni(fx.existingDirectories());
    fx.Form1->LoadSettings();
    // A folder in place of the settings file makes every write fail.
    QFile::remove(fx.iniPath());
    QVERIFY(QDir().mkpath(fx.iniPath()));
    fx.FrmNastav->show();
    MessageBox::clearShown();
    fx.FrmNastav->btnUlozClick();
    QTRY_VERIFY(!fx.FrmNastav->pending());
    QVERIFY(fx.FrmNastav->isVisible());
    QCOMPARE(MessageBox::shown().size(), 1);
    QCOMPARE(MessageBox::shown().first().text, QStringLiteral("Unable to write to ") + fx.iniPath());
    fx.FrmNastav->hide();

    // A saved but missing directory: the values are in the file, the message shows, the dialog stays open.
    QDir(fx.iniPath()).removeRecursively();
    fx.FrmNastav->edCesta[6]->setText(fx.dir.filePath(QStringLiteral("gone")));
    fx.FrmNastav->show();
    MessageBox::clearShown();
    fx.FrmNastav->btnUlozClick();
    QTRY_VERIFY(!fx.FrmNastav->pending());
    QVERIFY(fx.FrmNastav->isVisible());
    QVERIFY(MessageBox::shown().first().text.contains(QStringLiteral("gone (Bit6)")));
    QVERIFY(IniFile(fx.iniPath())
                .readString(QStringLiteral("Po spusteni"), QStringLiteral("Soubor6"), QString())
                .endsWith(QStringLiteral("gone")));
    fx.FrmNastav->hide();
}

// The core's thread does not answer while the operator saves and reloads: the dialog says what it waits for, takes
// no edits, and the GUI thread goes on; the save and the load end as they would have once the core answers.
void TestSettings::windowRunsWhileTheCoreHoldsTheSave() {
    MonitorFixture fx;
    fx.writeIni(fx.existingDirectories() << QStringLiteral("Popis=stored"));
    fx.Form1->LoadSettings();
    TFrmNastav& dialog = *fx.FrmNastav;
    auto* note = dialog.findChild<QLabel*>(QStringLiteral("LabelPrubeh"));
    QVERIFY(note);
    dialog.show();
    QVERIFY(!note->isVisible());
    dialog.edPopis->setText(QStringLiteral("Lisovna č. 5"));
    const auto stored = [&] {
        return IniFile(fx.iniPath()).readString(Settings::Section, QStringLiteral("Popis"), QString());
    };

    {
        CoreHold hold(fx.App->monitor);
        QVERIFY(hold.held());
        QTest::mouseClick(dialog.btnUloz, Qt::LeftButton);
        QVERIFY(dialog.pending());
        QVERIFY(note->isVisible());
        QCOMPARE(note->text(), QStringLiteral("Probíhá ukládání nastavení…"));
        QVERIFY(!dialog.PageControl1->isEnabled());
        QVERIFY(!dialog.btnUloz->isEnabled());
        QVERIFY(!dialog.btnZavri->isEnabled());
        // The note stands in the free strip beside the buttons, inside the window.
        QVERIFY(note->geometry().right() < dialog.btnZavri->x());
        QVERIFY(note->geometry().bottom() <= dialog.height());
        QVERIFY(note->geometry().top() >= dialog.PageControl1->geometry().bottom());
        QVERIFY(note->sizeHint().width() <= note->width());
        // A second click while the save is on its way starts nothing more.
        QTest::mouseClick(dialog.btnUloz, Qt::LeftButton);
        GuiTicks ticks;
        QTRY_VERIFY(ticks.count() >= 5);
        QVERIFY(dialog.pending());
        QVERIFY(dialog.isVisible());
        QCOMPARE(stored(), QStringLiteral("stored"));
        saveScreenshot(&dialog, QStringLiteral("settings-saving.png"));
        hold.release();
        QTRY_VERIFY(!dialog.pending());
    }
    QVERIFY(!dialog.isVisible()); // every folder exists: the dialog closed
    QVERIFY(!note->isVisible());
    QVERIFY(dialog.PageControl1->isEnabled());
    QVERIFY(dialog.btnUloz->isEnabled());
    QCOMPARE(stored(), QStringLiteral("Lisovna č. 5"));
    QCOMPARE(fx.Form1->windowTitle(), QStringLiteral("I/O - Lisovna č. 5 (Linka 1)"));

    // "&Zavři" while the core is held: the load waits the same way, then the stored values come back.
    dialog.show();
    dialog.edPopis->setText(QStringLiteral("not saved"));
    {
        CoreHold hold(fx.App->monitor);
        QVERIFY(hold.held());
        QTest::mouseClick(dialog.btnZavri, Qt::LeftButton);
        QVERIFY(dialog.pending());
        QCOMPARE(note->text(), QStringLiteral("Probíhá načítání uloženého nastavení…"));
        GuiTicks ticks;
        QTRY_VERIFY(ticks.count() >= 5);
        QCOMPARE(dialog.edPopis->text(), QStringLiteral("not saved"));
        QVERIFY(dialog.isVisible());
    }
    QTRY_VERIFY(!dialog.pending());
    QVERIFY(!dialog.isVisible());
    QCOMPARE(dialog.edPopis->text(), QStringLiteral("Lisovna č. 5"));
    QVERIFY(MessageBox::shown().isEmpty());
}

// The close box while a save is on its way hides the dialog and leaves the save to end: the file takes it, the
// titles follow, and a failure still shows its box. The program's end waits for it.
void TestSettings::closedDialogKeepsItsPendingSave() {
    QTemporaryDir keep;
    {
        MonitorFixture fx;
        fx.writeIni(fx.existingDirectories());
        fx.Form1->LoadSettings();
        TFrmNastav& dialog = *fx.FrmNastav;
        dialog.show();
        dialog.edPopis->setText(QStringLiteral("closed meanwhile"));
        CoreHold hold(fx.App->monitor);
        QVERIFY(hold.held());
        dialog.btnUlozClick();
        QVERIFY(dialog.close());
        QVERIFY(!dialog.isVisible());
        QVERIFY(dialog.pending());
        hold.release();
        QTRY_VERIFY(!dialog.pending());
        QVERIFY(!dialog.isVisible());
        QCOMPARE(fx.Form1->windowTitle(), QStringLiteral("I/O - closed meanwhile (Linka 1)"));
        QCOMPARE(IniFile(fx.iniPath()).readString(Settings::Section, QStringLiteral("Popis"), QString()),
                 QStringLiteral("closed meanwhile"));

        // A failure that comes after the close is still told.
        QFile::remove(fx.iniPath());
        QVERIFY(QDir().mkpath(fx.iniPath()));
        MessageBox::clearShown();
        CoreHold again(fx.App->monitor);
        QVERIFY(again.held());
        dialog.show();
        dialog.btnUlozClick();
        QVERIFY(dialog.close());
        again.release();
        QTRY_VERIFY(!dialog.pending());
        QCOMPARE(MessageBox::shown().size(), 1);
        QCOMPARE(MessageBox::shown().first().text, QStringLiteral("Unable to write to ") + fx.iniPath());
        QVERIFY(QDir(fx.iniPath()).removeRecursively());

        // The program ends with a save on its way: the save goes first, then the exit's store of the number.
        CoreHold last(fx.App->monitor);
        QVERIFY(last.held());
        dialog.show();
        dialog.edPopis->setText(QStringLiteral("saved at the end"));
        dialog.btnUlozClick();
        QVERIFY(dialog.close());
        fx.App->settings.setSequenceNumber(77);
        last.release(); // the exit's store is asked for at once, behind the save
        fx.App->FormDestroy();
        QVERIFY(QFile::copy(fx.iniPath(), keep.filePath(QStringLiteral("impulz.ini"))));
    }
    const IniFile saved(keep.filePath(QStringLiteral("impulz.ini")));
    QCOMPARE(saved.readString(Settings::Section, QStringLiteral("Popis"), QString()),
             QStringLiteral("saved at the end"));
    QCOMPARE(saved.readInteger(Settings::Section, Settings::SequenceKey, -1), 77);
}

void TestSettings::previewAndActivation() {
    MonitorFixture fx;
    fx.Form1->LoadSettings();
    QCOMPARE(fx.FrmNastav->NahledJmeno->text(), QStringLiteral("_.csv"));
    fx.FrmNastav->PageControl1->setCurrentIndex(7);
    fx.App->settings.setSequenceNumber(5);
    fx.FrmNastav->show();
    QCOMPARE(fx.FrmNastav->PageControl1->currentIndex(), 0);
    QCOMPARE(fx.FrmNastav->PageControl1->tabText(0), QStringLiteral("Obecné  "));
    QCOMPARE(fx.FrmNastav->windowTitle(), QStringLiteral("Nastavení"));
    QCOMPARE(fx.FrmNastav->size(), QSize(641, 250));
    fx.FrmNastav->edFormat->setText(QStringLiteral("B%nbit%_%numco%"));
    // The preview always uses bit 1 and, with the dialog open, never consumes a number.
    QCOMPARE(fx.FrmNastav->NahledJmeno->text(), QStringLiteral("B1_00005.csv"));
    QCOMPARE(fx.sequenceNumber(), 5);
    fx.FrmNastav->SpinCislo->setValueClamped(9);
    QCOMPARE(fx.FrmNastav->NahledJmeno->text(), QStringLiteral("B1_00005.csv"));
    saveScreenshot(fx.FrmNastav, QStringLiteral("settings-general.png"));
    fx.FrmNastav->edCesta[3]->setText(QStringLiteral("/data/linka3/bit3"));
    fx.FrmNastav->cbBit[3]->setChecked(true);
    fx.FrmNastav->PageControl1->setCurrentIndex(4);
    saveScreenshot(fx.FrmNastav, QStringLiteral("settings-bit.png"));
    fx.FrmNastav->hide();
}

void TestSettings::folderButtonFillsItsOwnEdit() {
    MonitorFixture fx;
    QString startedAt;
    TFrmNastav::folderChooser = [&](const QString& start) {
        startedAt = start;
        return QStringLiteral("/chosen/folder");
    };
    fx.FrmNastav->edCesta[4]->setText(QStringLiteral("/start/here"));
    QTest::mouseClick(fx.FrmNastav->btnCesta[4], Qt::LeftButton);
    QCOMPARE(startedAt, QStringLiteral("/start/here"));
    QCOMPARE(fx.FrmNastav->edCesta[4]->text(), QStringLiteral("/chosen/folder"));
    QCOMPARE(fx.FrmNastav->edCesta[3]->text(), QString());
    TFrmNastav::folderChooser = [](const QString&) { return QString(); };
    QTest::mouseClick(fx.FrmNastav->btnCesta[4], Qt::LeftButton);
    QCOMPARE(fx.FrmNastav->edCesta[4]->text(), QStringLiteral("/chosen/folder"));
    TFrmNastav::folderChooser = nullptr;
}

void TestSettings::numbersAreNotIssuedTwiceWhenTheFileRefuses_data() {
    QTest::addColumn<int>("stored");
    QTest::addColumn<QStringList>("issued");
    QTest::addColumn<int>("afterRestart");
    QTest::newRow("plain") << 10 << QStringList{"00010", "00011", "00012"} << 13;
    QTest::newRow("across the wrap") << 99997 << QStringList{"99997", "99998", "00000"} << 1;
}

void TestSettings::numbersAreNotIssuedTwiceWhenTheFileRefuses() {
    QFETCH(int, stored);
    QFETCH(QStringList, issued);
    QFETCH(int, afterRestart);
    using P = QFile::Permission;
    const auto readOnly = P::ReadOwner | P::ReadGroup | P::ReadOther;
    const auto traversable = readOnly | P::ExeOwner | P::ExeGroup | P::ExeOther;
    QTemporaryDir tmp;
    QVERIFY(QFile::setPermissions(tmp.path(), traversable | P::WriteOwner));
    // A settings file that can be read but neither replaced nor rewritten; a state folder open to the user.
    const QString folder = tmp.filePath(QStringLiteral("settings"));
    const QString ini = folder + QStringLiteral("/impulz.ini");
    QVERIFY(QDir().mkpath(folder));
    QFile file(ini);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(QStringLiteral("[Po spusteni]\nFormat=%numco%\nPor_cislo=%1\n").arg(stored).toUtf8());
    file.close();
    QVERIFY(QFile::setPermissions(ini, readOnly));
    QVERIFY(QFile::setPermissions(folder, traversable));
    const QString state = tmp.filePath(QStringLiteral("state"));
    QVERIFY(QDir().mkpath(state));
    QVERIFY(QFile::setPermissions(state, traversable | P::WriteOwner | P::WriteGroup | P::WriteOther));
    qputenv("XDG_STATE_HOME", QFile::encodeName(state));
    {
        Unprivileged user; // root would write the file regardless
        QVERIFY(user.ok());
        Settings running;
        running.setFilePath(ini);
        running.load();
        QStringList names;
        QString reason;
        for (int i = 0; i < issued.size(); ++i) {
            names << running.expandName(0, false);
            QCOMPARE(running.storeSequenceNumber(running.sequenceNumber(), &reason), Settings::SequenceCopy::StateCopy);
        }
        QCOMPARE(names, issued);
        QCOMPARE(reason, QStringLiteral("Permission denied"));
        QVERIFY(running.sequenceStatePath().startsWith(state + QStringLiteral("/impulz/")));

        // The next start goes on after the last number issued, though the file still holds the old one.
        Settings restarted;
        restarted.setFilePath(ini);
        restarted.load();
        QCOMPARE(restarted.sequenceNumber(), afterRestart);
        QCOMPARE(IniFile(ini).readInteger(Settings::Section, Settings::SequenceKey, -1), stored);

        // Nowhere to put it: the error names the settings file.
        qputenv("XDG_STATE_HOME", QFile::encodeName(ini));
        try {
            restarted.storeSequenceNumber(restarted.sequenceNumber());
            QFAIL("stored with nowhere to store");
        } catch (const IniWriteError& e) {
            QCOMPARE(e.path(), ini);
            QVERIFY2(e.reason().startsWith(QStringLiteral("Permission denied; ")), qPrintable(e.reason()));
        }
        qputenv("XDG_STATE_HOME", QFile::encodeName(state));
    }

    // Once the file takes the number again, it alone holds it.
    QVERIFY(QFile::setPermissions(folder, traversable | P::WriteOwner));
    QVERIFY(QFile::setPermissions(ini, readOnly | P::WriteOwner));
    Settings repaired;
    repaired.setFilePath(ini);
    repaired.load();
    QCOMPARE(repaired.expandName(0, false), QStringLiteral("%1").arg(afterRestart, 5, 10, QLatin1Char('0')));
    QCOMPARE(repaired.storeSequenceNumber(repaired.sequenceNumber()), Settings::SequenceCopy::SettingsFile);
    QVERIFY(!QFile::exists(repaired.sequenceStatePath()));
    Settings again;
    again.setFilePath(ini);
    again.load();
    QCOMPARE(again.sequenceNumber(), afterRestart + 1);
}

void TestSettings::numberingMovesToTheStateCopyOnce() {
    MonitorFixture fx;
    const QStringList lines = fx.existingDirectories() << QStringLiteral("Bit0=1") << QStringLiteral("Format=N%numco%")
                                                       << QStringLiteral("Por_cislo=7");
    fx.writeIni(lines);
    fx.Form1->LoadSettings();
    // A folder in the settings file's place refuses every write, root's too.
    QVERIFY(QFile::remove(fx.iniPath()));
    QVERIFY(QDir().mkpath(fx.iniPath()));
    QSignalSpy fallback(fx.App->monitor, &Monitor::sequenceNumberFallback);
    for (int i = 0; i < 3; ++i)
        fx.feedChunk(report(52, 0xFF) + report(52, 0xFE));
    for (const char* name : {"N00007.csv", "N00008.csv", "N00009.csv"})
        QVERIFY2(QFile::exists(fx.eventDir(0) + u'/' + QLatin1String(name)), name);
    const QString told = QStringLiteral("Pořadové číslo nelze uložit do %1 (Is a directory), číslování pokračuje z %2")
                             .arg(fx.iniPath(), fx.App->settings.sequenceStatePath());
    QCOMPARE(fx.logLines().filter(QStringLiteral("Pořadové číslo")), QStringList{told});
    QVERIFY(fx.logLines().filter(QStringLiteral("Chyba zápisu")).isEmpty());
    QCOMPARE(fallback.size(), 1);
    QCOMPARE(fallback.first().first().toString(), told);

    // The file comes back with its old number: a reload goes on after the last number issued.
    QVERIFY(QDir(fx.iniPath()).removeRecursively());
    fx.writeIni(lines);
    fx.Form1->LoadSettings();
    QCOMPARE(fx.sequenceNumber(), 10);
}

QTEST_MAIN(TestSettings)
#include "tst_settings.moc"
