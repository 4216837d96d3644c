// The windowed program: the monitor and its recorder, or a view of the recorder of another process; "--headless"
// starts the recorder without windows instead.

#include "impulz.h"

#include "components/messagebox.h"
#include "core/host/commandline.h"
#include "core/settings/inifile.h"
#include "core/settings/instancelock.h"
#include "core/serving/recorderclient.h"
#include "core/serving/recorderservice.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QThread>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <unistd.h>

namespace {

// How long a window waits for a recorder that holds the settings file to answer on its socket.
constexpr int AttachWaitMs = 5000;

// "impulz --headless" is the recorder without windows, a program of its own that maps no widget library.
int execRecorder(char** argv) {
    // The recorder program lies beside this one, wherever a link to this one was started from.
    char self[4096];
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    const QByteArray folder =
        n > 0 ? QFile::encodeName(QFileInfo(QString::fromLocal8Bit(self, int(n))).absolutePath()) : QByteArray(".");
    QByteArray program = folder + "/impulz-recorder";
    argv[0] = program.data();
    ::execv(program.constData(), argv);
    std::fprintf(stderr, "impulz: %s: %s\n", program.constData(), std::strerror(errno));
    return 1;
}

} // namespace

int main(int argc, char** argv) {
    // Everything the command line alone decides is answered before the display is opened: help and version need
    // none, and neither does being told that a named settings file cannot be used.
    const QString name = CommandLine::programName(argv[0]);
    const CommandLine command = CommandLine::parse(CommandLine::Program::Windows, argc, argv);
    if (const int code = command.answer(CommandLine::Program::Windows, name); code >= 0)
        return code;
    if (command.headless)
        return execRecorder(argv);
    // ".." is left to the links' resolution.
    QString settingsPath =
        command.settingsPath.isEmpty() ? QString() : QDir::current().absoluteFilePath(command.settingsPath);
    const bool named = !settingsPath.isEmpty();
    if (named) {
        // A file named on the command line must be there and readable.
        if (const QString problem = settingsFileProblem(settingsPath); !problem.isEmpty()) {
            const QString text = QStringLiteral("Soubor nastavení %1 nelze použít: %2").arg(settingsPath, problem);
            std::fprintf(stderr, "%s: %s\n", QFile::encodeName(name).constData(), text.toLocal8Bit().constData());
            return 1;
        }
    }

    raiseDescriptorLimit(); // the window records too, and serves other windows
    Q_INIT_RESOURCE(resources);
    QApplication app(argc, argv);
    app.setApplicationName(QStringLiteral("impulz"));
    app.setQuitOnLastWindowClosed(false);

    if (!named)
        settingsPath = resolveSettingsPath(QCoreApplication::applicationFilePath());
    // The program's own file may be missing (defaults), but one that is there and cannot be read is said, never
    // taken for defaults in silence.
    const QString problem = named ? QString() : settingsFileProblem(settingsPath, true);

    InstanceLock lock;
    if (!lock.acquire(settingsPath)) {
        // Another process records over these settings: this window becomes a view of it. It may be starting still
        // (a service started at the same log-on), so it is given a moment to serve.
        const QString socketPath = recorderSocketPath(lock.resolvedPath());
        std::unique_ptr<RemoteRecorder> remote;
        QString why;
        QDeadlineTimer deadline(AttachWaitMs);
        while (!(remote = RemoteRecorder::attach(socketPath, 2000, &why)) && !deadline.hasExpired())
            QThread::msleep(100);
        if (!remote) {
            MessageBox::error(nullptr, lock.errorText());
            return 1;
        }
        Impulz impulz(std::move(remote));
        impulz.Form1->show();
        return app.exec();
    }
    Impulz impulz(lock.resolvedPath());
    if (!problem.isEmpty()) {
        impulz.Form1->appendLog(QStringLiteral("Soubor nastavení %1 nelze použít (%2)").arg(settingsPath, problem));
        MessageBox::error(impulz.Form1,
                          QStringLiteral("Soubor nastavení %1 nelze použít (%2), platí výchozí nastavení; "
                                         "soubor zůstává, jak je.")
                              .arg(settingsPath, problem));
    }
    QString serveError;
    if (!impulz.host()->serve(recorderSocketPath(lock.resolvedPath()), &serveError))
        impulz.Form1->appendLog(QStringLiteral("Jiná okna se k záznamu nepřipojí: %1").arg(serveError));
    impulz.Form1->show();
    const int rc = app.exec();
    impulz.FormDestroy();
    return rc;
}
