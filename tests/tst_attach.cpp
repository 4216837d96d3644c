// The window as a view of the recorder without windows: the recorder's events reach the attached window's log and
// counters, the window's connect toggle reaches the recorder, and closing the window leaves it recording.

#include "support/simulator.h"
#include "support/testsupport.h"
#include "support/windowseams.h"

#include "components/messagebox.h"
#include "core/settings/inifile.h"
#include "core/files/posixfile.h"
#include "core/serving/recorderclient.h"
#include "core/serving/recorderservice.h"
#include "impulz.h"
#include "main.h"
#include "nastaveni.h"
#include "pocitadla.h"

#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>
#include <csignal>
#include <vector>

#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// The recorder's processor time so far, from /proc/<pid>/stat, in seconds.
double cpuSeconds(qint64 pid) {
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray text = stat.readAll();
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    return double(fields.value(11).toLongLong() + fields.value(12).toLongLong()) / double(::sysconf(_SC_CLK_TCK));
}

} // namespace

class TestAttach : public QObject {
    Q_OBJECT
private slots:
    void windowShowsAndDrivesTheHeadlessRecorder();
    void windowComesBackWhenTheRecorderRestarts();
    void neighbourHoldingConnectionsCostsNoEvent();
    void saveWaitsForAStoppedRecorder();
};

void TestAttach::windowShowsAndDrivesTheHeadlessRecorder() {
    if (!Simulator::available())
        QSKIP("controller-sim not built");
    QTemporaryDir dir;
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(dir.filePath(QStringLiteral("run"))));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(dir.filePath(QStringLiteral("config"))));
    WindowSeams seams; // the boxes are answered until the test ends, however it ends
    MessageBox::setAutoAnswer(true);
    Simulator sim;
    QVERIFY(sim.listening());
    const QString events = dir.filePath(QStringLiteral("events"));
    const QString ini = dir.filePath(QStringLiteral("impulz.ini"));
    QVERIFY(writeRecorderSettings(ini, sim.port(), 2, events));
    const auto files = [&] { return csvFiles(events).size(); };

    QProcess recorder;
    recorder.start(QStringLiteral(IMPULZ_BIN_DIR "/impulz"),
                   {QStringLiteral("--headless"), QStringLiteral("--settings"), ini});
    QVERIFY(QTest::qWaitFor([&] { return sim.sessionReady(); }, 10000));
    QVERIFY(sim.run("pulse 0 10\nsleep 50"));
    QTRY_COMPARE(files(), 1);

    const QString socket = recorderSocketPath(resolvedFilePath(ini));
    {
        QString error;
        auto remote = RemoteRecorder::attach(socket, 5000, &error);
        QVERIFY2(remote, qPrintable(error));
        Impulz app(std::move(remote));
        app.Form1->show();
        QVERIFY(app.Form1->windowTitle().contains(QStringLiteral("připojeno k záznamu na pozadí")));
        QVERIFY(app.Form1->Memo1->toPlainText().contains(QStringLiteral("LOG1 Bit: 0 ")));
        QCOMPARE(app.Form1->btnPripoj->text(), QStringLiteral("&Odpojit"));
        QCOMPARE(app.FrmPocitadla->Edit[0]->text(), QStringLiteral("1"));

        // The recorder's events reach the window as they are recorded.
        QVERIFY(sim.run("pulse 1 10\nsleep 50"));
        QTRY_COMPARE(files(), 2);
        QTRY_COMPARE(app.FrmPocitadla->Edit[1]->text(), QStringLiteral("1"));
        QTRY_VERIFY(app.Form1->Memo1->toPlainText().contains(QStringLiteral("LOG1 Bit: 1 ")));

        // The window's toggle disconnects and connects the recorder.
        QTest::mouseClick(app.Form1->btnPripoj, Qt::LeftButton);
        QTRY_COMPARE(app.Form1->btnPripoj->text(), QStringLiteral("&Připojit"));
        QTest::mouseClick(app.Form1->btnPripoj, Qt::LeftButton);
        QTRY_COMPARE(app.Form1->btnPripoj->text(), QStringLiteral("&Odpojit"));
        QVERIFY(QTest::qWaitFor([&] { return sim.count("greeting ok") == 2; }, 10000));

        // Closing the window asks nothing and ends only the window.
        MessageBox::clearShown();
        QVERIFY(app.Form1->close());
        QVERIFY(MessageBox::shown().isEmpty());
    }
    QVERIFY(sim.run("pulse 0 10\nsleep 50"));
    QTRY_COMPARE(files(), 3);
    QCOMPARE(recorder.state(), QProcess::Running);
    recorder.terminate();
    QVERIFY(recorder.waitForFinished(10000));
    QCOMPARE(recorder.exitCode(), 0);
}

// The recorder is killed and its service manager starts it again: the window waits for it without showing levels
// nobody reports, and becomes its view again by itself (its LEDs, counters and toggle are the new recorder's).
void TestAttach::windowComesBackWhenTheRecorderRestarts() {
    if (!Simulator::available())
        QSKIP("controller-sim not built");
    QTemporaryDir dir;
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(dir.filePath(QStringLiteral("run"))));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(dir.filePath(QStringLiteral("config"))));
    WindowSeams seams;
    MessageBox::setAutoAnswer(true);
    Simulator sim;
    QVERIFY(sim.listening());
    const QString events = dir.filePath(QStringLiteral("events"));
    const QString ini = dir.filePath(QStringLiteral("impulz.ini"));
    QVERIFY(writeRecorderSettings(ini, sim.port(), 2, events));
    const QString program = QStringLiteral(IMPULZ_BIN_DIR "/impulz-recorder");
    const QStringList args{QStringLiteral("--settings"), ini};
    QProcess recorder;
    recorder.start(program, args);
    QVERIFY(QTest::qWaitFor([&] { return sim.sessionReady(); }, 10000));
    QVERIFY(sim.run("pulse 1 10\nsleep 50\nset FE"));
    QTRY_COMPARE(csvFiles(events).size(), 2);

    QString error;
    auto remote = RemoteRecorder::attach(recorderSocketPath(resolvedFilePath(ini)), 5000, &error);
    QVERIFY2(remote, qPrintable(error));
    Impulz app(std::move(remote));
    app.Form1->show();
    TForm1& form = *app.Form1;
    QTRY_COMPARE(form.Leds[0]->state(), lsON);
    QCOMPARE(app.FrmPocitadla->Edit[1]->text(), QStringLiteral("1"));

    ::kill(pid_t(recorder.processId()), SIGKILL);
    QVERIFY(recorder.waitForFinished(10000));
    QTRY_VERIFY(form.windowTitle().contains(QStringLiteral("čekám na jeho návrat")));
    QVERIFY(form.LabelZaznam->geometry().right() < form.Label2->x()); // the note stays clear of the signature
    QCOMPARE(form.Leds[0]->state(), lsOFF);
    QVERIFY(!form.btnPripoj->isEnabled());

    recorder.start(program, args);
    QTRY_VERIFY_WITH_TIMEOUT(form.windowTitle().endsWith(QStringLiteral("připojeno k záznamu na pozadí")), 15000);
    QVERIFY(form.Memo1->toPlainText().contains(QStringLiteral("Záznam na pozadí znovu běží")));
    QVERIFY(form.btnPripoj->isEnabled());
    QTRY_COMPARE(form.Leds[0]->state(), lsON); // the new recorder's report of the inputs
    QCOMPARE(app.FrmPocitadla->Edit[1]->text(), QStringLiteral("0"));
    QVERIFY(sim.run("pulse 1 10\nsleep 50"));
    QTRY_COMPARE(app.FrmPocitadla->Edit[1]->text(), QStringLiteral("1"));
    QCOMPARE(csvFiles(events).size(), 3);

    recorder.terminate();
    QVERIFY(recorder.waitForFinished(10000));
    QCOMPARE(recorder.exitCode(), 0);
}

// Another process of the same user opens far more connections to the recorder's sockets than the recorder has
// descriptors, and holds them; the recorder, on a limit of 256 it cannot raise, records every event all the same and
// does not spin over the connections it cannot take.
void TestAttach::neighbourHoldingConnectionsCostsNoEvent() {
    if (!Simulator::available())
        QSKIP("controller-sim not built");
    QTemporaryDir dir;
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(dir.filePath(QStringLiteral("run"))));
    Simulator sim;
    QVERIFY(sim.listening());
    const QString events = dir.filePath(QStringLiteral("events"));
    const QString ini = dir.filePath(QStringLiteral("impulz.ini"));
    QVERIFY(writeRecorderSettings(ini, sim.port(), 1, events));
    QProcess recorder;
    recorder.setChildProcessModifier([] {
        const rlimit limit{256, 256};
        ::setrlimit(RLIMIT_NOFILE, &limit);
    });
    recorder.start(QStringLiteral(IMPULZ_BIN_DIR "/impulz-recorder"), {QStringLiteral("--settings"), ini});
    QVERIFY(QTest::qWaitFor([&] { return sim.sessionReady(); }, 10000));
    const QString socket = recorderSocketPath(resolvedFilePath(ini));
    QTRY_VERIFY(QFileInfo::exists(socket));

    raiseDescriptorLimit();
    std::vector<int> held;
    {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        qstrncpy(address.sun_path, QFile::encodeName(socket).constData(), sizeof address.sun_path);
        for (int i = 0; i < 1200; ++i) {
            const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            // A full queue is given a moment to drain: a recorder that takes nothing more leaves the rest out.
            bool in = false;
            for (int tries = 0; !in && tries < 20; ++tries) {
                in = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
                if (!in && errno != EAGAIN)
                    break;
                if (!in)
                    QThread::msleep(2);
            }
            if (in)
                held.push_back(fd);
            else
                ::close(fd);
        }
    }
    QVERIFY(held.size() > 100); // far more than the recorder serves at once

    constexpr int Events = 100;
    QElapsedTimer wall;
    wall.start();
    const double cpuBefore = cpuSeconds(recorder.processId());
    QByteArray pulses;
    for (int i = 0; i < Events; ++i)
        pulses += "pulse 0 10\nsleep 20\n";
    QVERIFY(sim.run(pulses));
    QTRY_COMPARE_WITH_TIMEOUT(csvFiles(events).size(), Events, 30000);
    const double cpu = cpuSeconds(recorder.processId()) - cpuBefore;
    const double seconds = double(wall.elapsed()) / 1000;
    for (int fd : held)
        ::close(fd);
    QVERIFY2(cpu < seconds / 2, qPrintable(QStringLiteral("%1 s of processor in %2 s").arg(cpu).arg(seconds)));
    QCOMPARE(recorder.state(), QProcess::Running);
    recorder.terminate();
    QVERIFY(recorder.waitForFinished(10000));
    QCOMPARE(recorder.exitCode(), 0);
}

// The recorder stops answering while the attached window saves (stopped as a debugger or a hung mount would hold
// it): the window goes on and the dialog says what it waits for; once the recorder runs again the save ends as
// it would have.
void TestAttach::saveWaitsForAStoppedRecorder() {
    if (!Simulator::available())
        QSKIP("controller-sim not built");
    QTemporaryDir dir;
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(dir.filePath(QStringLiteral("run"))));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(dir.filePath(QStringLiteral("config"))));
    WindowSeams seams;
    MessageBox::setAutoAnswer(true);
    Simulator sim;
    QVERIFY(sim.listening());
    const QString ini = dir.filePath(QStringLiteral("impulz.ini"));
    QVERIFY(writeRecorderSettings(ini, sim.port(), 8, dir.filePath(QStringLiteral("events"))));
    QProcess recorder;
    recorder.start(QStringLiteral(IMPULZ_BIN_DIR "/impulz-recorder"), {QStringLiteral("--settings"), ini});
    QVERIFY(QTest::qWaitFor([&] { return sim.sessionReady(); }, 10000));
    const auto stored = [&] { return IniFile(ini).readString(Settings::Section, QStringLiteral("Popis"), QString()); };
    {
        QString error;
        auto remote = RemoteRecorder::attach(recorderSocketPath(resolvedFilePath(ini)), 5000, &error);
        QVERIFY2(remote, qPrintable(error));
        Impulz app(std::move(remote));
        TFrmNastav& dialog = *app.FrmNastav;
        dialog.show();
        dialog.edPopis->setText(QStringLiteral("Lisovna 4"));
        MessageBox::clearShown();

        const pid_t pid = pid_t(recorder.processId());
        QCOMPARE(::kill(pid, SIGSTOP), 0);
        struct Resume {
            pid_t pid;
            ~Resume() { ::kill(pid, SIGCONT); } // however the test ends
        } resume{pid};
        QTest::mouseClick(dialog.btnUloz, Qt::LeftButton);
        QVERIFY(dialog.pending());
        QCOMPARE(dialog.LabelPrubeh->text(), QStringLiteral("Probíhá ukládání nastavení…"));
        QVERIFY(dialog.LabelPrubeh->isVisible());
        QVERIFY(!dialog.btnUloz->isEnabled());
        int ticks = 0;
        QTimer timer;
        QObject::connect(&timer, &QTimer::timeout, [&ticks] { ++ticks; });
        timer.start(20);
        QTRY_VERIFY(ticks >= 5); // the window's event loop runs while the recorder does not
        QVERIFY(dialog.pending());
        QVERIFY(stored().isEmpty());

        QCOMPARE(::kill(pid, SIGCONT), 0);
        QTRY_VERIFY(!dialog.pending());
        QVERIFY(MessageBox::shown().isEmpty());
        QVERIFY(!dialog.isVisible()); // every folder exists: the dialog closed
        QCOMPARE(stored(), QStringLiteral("Lisovna 4"));
        QVERIFY(app.Form1->windowTitle().startsWith(QStringLiteral("I/O - Lisovna 4 (Linka 1)")));
    }
    recorder.terminate();
    QVERIFY(recorder.waitForFinished(10000));
    QCOMPARE(recorder.exitCode(), 0);
}

QTEST_MAIN(TestAttach)
#include "tst_attach.moc"
