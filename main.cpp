#include "main.h"

#include "components/controls.h"
#include "components/cooltrayicon.h"
#include "components/messagebox.h"
#include "core/inifile.h"
#include "core/instancelock.h"
#include "core/mqttpublisher.h"
#include "core/recorderclient.h"
#include "core/recorderservice.h"
#include "core/version.h"
#include "nastaveni.h"
#include "pocitadla.h"
#include "statistika.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QDesktopServices>
#include <QGroupBox>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QSessionManager>
#include <QTimer>
#include <QUrl>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <unistd.h>

namespace {
// An error that escapes a handler is shown in an error box and the program goes on.
template <typename F> auto guarded(QWidget* parent, F handler) {
    return [parent, handler] {
        try {
            handler();
        } catch (const std::exception& e) {
            MessageBox::error(parent, QString::fromUtf8(e.what()));
        }
    };
}
} // namespace

void SignatureLabel::mouseReleaseEvent(QMouseEvent* event) {
    QLabel::mouseReleaseEvent(event);
    emit clicked();
}

void SignatureLabel::enterEvent(QEnterEvent* event) {
    QLabel::enterEvent(event);
    emit entered();
}

void SignatureLabel::leaveEvent(QEvent* event) {
    QLabel::leaveEvent(event);
    emit left();
}

TForm1::TForm1(Settings& settings, RecorderPort& recorder, QWidget* parent)
    : QWidget(parent), m_settings(settings), m_recorder(recorder) {
    setObjectName(QStringLiteral("Form1"));
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    setFont(windowFont());
    setFixedSize(330, 258);

    GroupBox1 = new QGroupBox(QStringLiteral(" Status signálů - Bit 0..7 "), this);
    GroupBox1->setObjectName(QStringLiteral("GroupBox1"));
    GroupBox1->setGeometry(8, 8, 209, 50);
    for (int k = 0; k < 8; ++k) {
        auto* led = new LedIndicator(GroupBox1);
        led->setObjectName(QStringLiteral("LED%1").arg(k + 1));
        led->move(9 + 24 * k, 17);
        Leds[k] = led;
    }

    btnPripoj = new QPushButton(QStringLiteral("&Připojit"), this);
    btnPripoj->setObjectName(QStringLiteral("btnPripoj"));
    btnPripoj->setGeometry(248, 11, 75, 24);
    btnNastav = new QPushButton(QStringLiteral("&Nastavení"), this);
    btnNastav->setObjectName(QStringLiteral("btnNastav"));
    btnNastav->setGeometry(248, 38, 75, 24);

    Label1 = new QLabel(QStringLiteral("Info log"), this);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->move(8, 64);
    Label1->adjustSize();
    cbHex = new QCheckBox(QStringLiteral("Zobrazit HEX data"), this);
    cbHex->setObjectName(QStringLiteral("cbHex"));
    cbHex->setGeometry(72, 64, 113, 13);
    LabelObnov = new QLabel(QStringLiteral("Obnovení spojení: 0"), this);
    LabelObnov->setObjectName(QStringLiteral("LabelObnov"));
    LabelObnov->move(208, 64);
    LabelObnov->adjustSize();

    Memo1 = new QPlainTextEdit(this);
    Memo1->setObjectName(QStringLiteral("Memo1"));
    Memo1->setGeometry(8, 80, 313, 153);
    Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    Memo1->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    // With log clearing off the log would grow for weeks; the oldest lines go first past this limit.
    Memo1->setMaximumBlockCount(LogSafetyLimit);

    btnStatistika = new QPushButton(QStringLiteral("Statistika"), this);
    btnStatistika->setObjectName(QStringLiteral("btnStatistika"));
    btnStatistika->setGeometry(232, 160, 68, 22);
    btnPocitadla = new QPushButton(QStringLiteral("Počítadla"), this);
    btnPocitadla->setObjectName(QStringLiteral("btnPocitadla"));
    btnPocitadla->setGeometry(232, 184, 68, 22);
    btnSmazat = new QPushButton(QStringLiteral("Smazat LOG"), this);
    btnSmazat->setObjectName(QStringLiteral("btnSmazat"));
    btnSmazat->setGeometry(232, 208, 68, 22);
    for (auto* b : {btnStatistika, btnPocitadla, btnSmazat})
        b->raise(); // the three buttons lie in front of the log's lower right part

    Label2 = new SignatureLabel(QStringLiteral("Delvor Labs"), this);
    Label2->setObjectName(QStringLiteral("Label2"));
    QFont signature = font();
    signature.setBold(true);
    signature.setItalic(true);
    Label2->setFont(signature);
    Label2->setCursor(Qt::PointingHandCursor);
    Label2->setAlignment(Qt::AlignRight | Qt::AlignTop);

    // A window that is a view of another process's recorder says so where the operator looks.
    LabelZaznam = new QLabel(this);
    LabelZaznam->setObjectName(QStringLiteral("LabelZaznam"));
    LabelZaznam->move(8, 240);
    LabelZaznam->setVisible(m_recorder.attached());

    TrayIcon1 = new TCoolTrayIcon(this);
    TrayIcon1->setObjectName(QStringLiteral("TrayIcon1"));
    TrayIcon1->setIcon(QIcon(QStringLiteral(":/icons/impulz.ico")));
    TrayIcon1->setMainWindow(this);
    TrayIcon1->setMinimizeToTray(true);
    TrayIcon1->setShowHint(true);
    TrayIcon1->setIconVisible(true);
    setWindowIcon(QIcon(QStringLiteral(":/icons/impulz.ico")));

    setTabOrder(btnPripoj, Memo1);
    setTabOrder(Memo1, btnNastav);
    setTabOrder(btnNastav, GroupBox1);
    setTabOrder(GroupBox1, btnSmazat);
    setTabOrder(btnSmazat, cbHex);
    setTabOrder(cbHex, btnPocitadla);
    setTabOrder(btnPocitadla, btnStatistika);

    connect(btnPripoj, &QPushButton::clicked, this, guarded(this, [this] { btnPripojClick(); }));
    connect(btnNastav, &QPushButton::clicked, this, guarded(this, [this] { btnNastavClick(); }));
    connect(btnPocitadla, &QPushButton::clicked, this, guarded(this, [this] { btnPocitadlaClick(); }));
    connect(btnStatistika, &QPushButton::clicked, this, guarded(this, [this] { btnStatistikaClick(); }));
    connect(btnSmazat, &QPushButton::clicked, this, &TForm1::btnSmazatClick);
    connect(Label2, &SignatureLabel::clicked, this, &TForm1::Label2Click);
    connect(Label2, &SignatureLabel::entered, this, &TForm1::Label2MouseEnter);
    connect(Label2, &SignatureLabel::left, this, &TForm1::Label2MouseLeave);
    connect(TrayIcon1, &TCoolTrayIcon::click, this, &TForm1::TrayIcon1Click);
    connect(cbHex, &QCheckBox::toggled, this, [this](bool on) { m_recorder.setHexDump(on); });

    // The recorder's signals arrive in the order it sent them.
    connect(&m_recorder, &RecorderPort::reportDecoded, this, &TForm1::showReport);
    connect(&m_recorder, &RecorderPort::logLine, this, &TForm1::appendLog);
    connect(&m_recorder, &RecorderPort::dataEvent, this, &TForm1::applyLogLimit);
    connect(&m_recorder, &RecorderPort::connectionChanged, this, &TForm1::showConnection);
    connect(&m_recorder, &RecorderPort::busyChanged, this, &TForm1::showBusy);
    connect(&m_recorder, &RecorderPort::reconnected, this, &TForm1::showReconnects);
    connect(&m_recorder, &RecorderPort::warning, this, &TForm1::showWarning);
    connect(&m_recorder, &RecorderPort::writeFailed, this, &TForm1::showWriteFailure);
    connect(&m_recorder, &RecorderPort::notice, this,
            [this](const QString& title, const QString& text) { TrayIcon1->showMessage(title, text); });
    connect(&m_recorder, &RecorderPort::ended, this, &TForm1::recorderEnded);
    connect(&m_settings, &Settings::loaded, this, &TForm1::RefreshTitles);

    FormCreate();
}

TForm1::~TForm1() = default;

void TForm1::setWindows(TFrmNastav* nastav, TFrmPocitadla* pocitadla, TfrmStatistika* statistika) {
    m_nastav = nastav;
    m_pocitadla = pocitadla;
    m_statistika = statistika;
}

void TForm1::FormCreate() {
    Label2->setText(Label2->text() + QStringLiteral(" - verze programu:") + versionText(productVersion()));
    Label2->adjustSize();
    // The label keeps its right edge at 320, so a longer text grows to the left.
    Label2->move(320 - Label2->width(), 240);
}

void TForm1::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (m_activated)
        return;
    m_activated = true;
    if (const QScreen* screen = this->screen())
        move(screen->availableGeometry().center() - rect().center());
    if (m_recorder.attached()) {
        RefreshTitles(); // a recorder of another process has its settings loaded already
        return;
    }
    // The settings stay closed until the start-up wait has decided whether to connect: a dialog open meanwhile
    // would edit what the connection and the recorder are about to use.
    showBusy(true);
    // The start-up sequence runs once, at the first showing, after the window has been painted.
    QTimer::singleShot(0, this, guarded(this, [this] { FormActivate(); }));
}

void TForm1::FormActivate() {
    if (!runLoadSettings()) {
        showBusy(false); // no start-up wait follows
        return;
    }
    m_pocitadla->btnDnesClick();
    m_statistika->btnDnesClick();
    if (!CheckOutputDirectories()) {
        showBusy(false);
        m_nastav->exec();
        showBusy(true);
    }
    // The one-second wait and the automatic connection run on the core's thread, so this window is painted and
    // answers meanwhile; the core says when it is done.
    emit startupRequested();
}

void TForm1::RefreshTitles() {
    const QString line = QString::number(m_settings.number(Settings::LineNumber));
    const QString description = m_settings.text(Settings::Description);
    const QString title = QStringLiteral("I/O - ") + description + QStringLiteral(" (Linka ") + line + QLatin1Char(')');
    // An attached window says whose recording it shows.
    if (!m_recorder.attached()) {
        setWindowTitle(title);
    } else {
        const QString state = m_recorder.available() ? QStringLiteral("připojeno k záznamu na pozadí")
                                                     : QStringLiteral("záznam na pozadí skončil");
        setWindowTitle(title + QStringLiteral(" – ") + state);
        LabelZaznam->setText(state.left(1).toUpper() + state.mid(1));
        LabelZaznam->adjustSize();
    }
    m_applicationTitle = title;
    QString hint = QStringLiteral("I/O Controler \r\nLinka ") + line + QStringLiteral("\r\n") + description;
    if (m_mqttBacklog > 0)
        hint += QStringLiteral("\r\nMQTT: nedoručeno %1").arg(m_mqttBacklog);
    TrayIcon1->setHint(hint);
    if (m_pocitadla)
        m_pocitadla->setWindowTitle(QStringLiteral("Počítadla ") + title);
}

void TForm1::LoadSettings() {
    loadSettingsAndShow(m_settings); // the core sets the watchdog's interval and this window its titles
}

bool TForm1::runLoadSettings() {
    return ::runLoadSettings(m_settings, this);
}

bool TForm1::CheckOutputDirectories() {
    return ::CheckOutputDirectories(m_settings, this);
}

void TForm1::sessionEnding() {
    m_sessionEnd.start();
}

void TForm1::closeEvent(QCloseEvent* event) {
    const bool sessionEnds = m_sessionEnd.isValid() && !m_sessionEnd.hasExpired(SessionEndGraceMs);
    m_sessionEnd.invalidate();
    // An attached window's close ends only the window: the recorder goes on recording.
    if (!sessionEnds && !m_recorder.attached() &&
        !MessageBox::yesNo(this, QStringLiteral("Ukončit"),
                           QStringLiteral("!!! Pozor !!!\rUkončením programu nebude možné dále sledovat impulzy "
                                          "!!!\rOpravdu chcete program ukončit ???"))) {
        event->ignore();
        return;
    }
    event->accept();
    QMetaObject::invokeMethod(qApp, &QCoreApplication::quit, Qt::QueuedConnection);
}

void TForm1::appendLog(const QString& line) {
    Memo1->appendPlainText(line);
}

int TForm1::logLineCount() const {
    // An empty log has no lines, although its document holds one empty block.
    return Memo1->document()->isEmpty() ? 0 : Memo1->blockCount();
}

void TForm1::btnSmazatClick() {
    Memo1->clear();
}

void TForm1::applyLogLimit() {
    // Checked at the start of every data event, before its lines: the log may outgrow the limit by one chunk's
    // lines.
    if (m_settings.flag(Settings::ClearLog) && logLineCount() > m_settings.number(Settings::LogLimit))
        Memo1->clear();
}

void TForm1::btnNastavClick() {
    m_nastav->exec();
}

void TForm1::btnPocitadlaClick() {
    m_pocitadla->exec();
}

void TForm1::btnStatistikaClick() {
    m_statistika->exec();
}

void TForm1::Label2Click() {
    QDesktopServices::openUrl(QUrl(QStringLiteral("mailto:podpora@delvorlabs.example")));
}

void TForm1::Label2MouseEnter() {
    QPalette p = Label2->palette();
    p.setColor(QPalette::WindowText, palette().color(QPalette::Active, QPalette::Highlight));
    Label2->setPalette(p);
}

void TForm1::Label2MouseLeave() {
    QPalette p = Label2->palette();
    p.setColor(QPalette::WindowText, Qt::black);
    Label2->setPalette(p);
}

void TForm1::TrayIcon1Click() {
    if (isVisible())
        TrayIcon1->HideMainWindow();
    else
        TrayIcon1->RestoreMainWindow();
}

void TForm1::btnPripojClick() {
    m_recorder.toggleConnection();
}

// ---- What the core reports ----

void TForm1::showReport(quint8 value) {
    // Only the LEDs that change are set: each set reloads a bitmap and repaints, and most reports change one input.
    for (int n = 0; n < 8; ++n) {
        const TLEDState state = StreamDecoder::isLog1(value, n) ? lsON : lsOFF;
        if (Leds[n]->state() != state)
            Leds[n]->setState(state);
    }
}

void TForm1::showConnection(bool connecting) {
    btnPripoj->setText(connecting ? QStringLiteral("&Odpojit") : QStringLiteral("&Připojit"));
    m_connecting = connecting;
    updateSettingsButton();
}

void TForm1::showMqttBacklog(qint64 count) {
    m_mqttBacklog = count;
    RefreshTitles();
}

void TForm1::showBusy(bool busy) {
    m_busy = busy;
    updateSettingsButton();
}

void TForm1::updateSettingsButton() {
    // Through a whole reconnect cycle the button stays off, though the link is down for 600 ms of it.
    btnNastav->setEnabled(!m_connecting && !m_busy && m_recorder.available());
}

void TForm1::recorderEnded() {
    // Nothing here may record in its place: the connect toggle and the settings stay off.
    btnPripoj->setEnabled(false);
    updateSettingsButton();
    RefreshTitles();
    appendLog(QStringLiteral("Záznam na pozadí skončil; toto okno už nic nezaznamenává."));
    TrayIcon1->showMessage(QStringLiteral("Záznam skončil"),
                           QStringLiteral("Záznam na pozadí skončil; toto okno už nic nezaznamenává."));
}

void TForm1::showReconnects(int count) {
    LabelObnov->setText(QStringLiteral("Obnovení spojení: %1").arg(count));
    LabelObnov->adjustSize();
}

void TForm1::showWarning(const QString& text) {
    // Shown without a nested event loop, and one box of a kind at a time: a controller that keeps sending large
    // chunks must not pile up boxes.
    QPointer<QMessageBox>& open = m_openWarnings[text];
    if (open)
        return;
    open = MessageBox::open(this, MessageBox::Warning, QStringLiteral("Warning"), text);
}

void TForm1::showWriteFailure(int input, const QString& path, const QString& reason) {
    Q_UNUSED(path);
    // The log line scrolls away; the tray says it where the operator looks, but not more than once a minute.
    if (m_lastFailureNotice.isValid() && !m_lastFailureNotice.hasExpired(WriteFailureNoticeMs))
        return;
    m_lastFailureNotice.start();
    TrayIcon1->showMessage(QStringLiteral("Chyba zápisu"),
                           QStringLiteral("Bit%1: událost nebyla zapsána (%2)").arg(input).arg(reason));
}

// ---- The owner ----

Impulz::Impulz(const QString& settingsPath)
    : m_host(std::make_unique<RecorderHost>(settingsPath)), settings(m_host->settings), counters(m_host->counters),
      recorder(*m_host->port()), monitor(m_host->monitor) {
    createWindows();
    FrmNastav->setMqttSettings(&m_host->mqttSettings); // only the process that records publishes
    if (m_host->mqtt)
        QObject::connect(m_host->mqtt, &MqttPublisher::backlogChanged, Form1, &TForm1::showMqttBacklog);
    QObject::connect(Form1, &TForm1::startupRequested, monitor, &Monitor::startup, Qt::QueuedConnection);
}

Impulz::Impulz(std::unique_ptr<RemoteRecorder> remote)
    : m_remote(std::move(remote)), settings(m_remote->settings()), counters(m_remote->counters()), recorder(*m_remote) {
    createWindows();
    Form1->cbHex->setChecked(m_remote->initialHexDump());
    if (m_remote->initialLevels() >= 0)
        Form1->showReport(quint8(m_remote->initialLevels()));
    for (const QString& line : m_remote->initialLog())
        Form1->appendLog(line);
    Form1->showReconnects(m_remote->initialReconnects());
    Form1->showConnection(m_remote->initialConnecting());
    Form1->showBusy(m_remote->initialBusy());
}

void Impulz::createWindows() {
    m_form1 = std::make_unique<TForm1>(settings, recorder);
    m_nastav = std::make_unique<TFrmNastav>(settings);
    m_pocitadla = std::make_unique<TFrmPocitadla>(counters);
    m_statistika = std::make_unique<TfrmStatistika>(settings);
    Form1 = m_form1.get();
    FrmNastav = m_nastav.get();
    FrmPocitadla = m_pocitadla.get();
    frmStatistika = m_statistika.get();
    Form1->setWindows(FrmNastav, FrmPocitadla, frmStatistika);

    QObject::connect(FrmNastav, &TFrmNastav::saved, Form1, &TForm1::RefreshTitles);
    // A desktop session that ends closes the monitor without the confirmation box.
    QObject::connect(qApp, &QGuiApplication::commitDataRequest, Form1,
                     [this](QSessionManager&) { Form1->sessionEnding(); });
}

Impulz::~Impulz() = default;

void Impulz::FormDestroy() {
    if (!m_host)
        return;
    const QString error = m_host->shutdown();
    if (!error.isEmpty())
        MessageBox::error(Form1, error);
}

// ---- Program entry ----

namespace {

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

int impulzMain(int argc, char** argv) {
    raiseDescriptorLimit(); // the window records too, and serves other windows
    for (int i = 1; i < argc; ++i) {
        if (qstrcmp(argv[i], "--headless") == 0)
            return execRecorder(argv);
    }
    Q_INIT_RESOURCE(resources);
    QApplication app(argc, argv);
    app.setApplicationName(QStringLiteral("impulz"));
    app.setQuitOnLastWindowClosed(false);

    QString settingsPath;
    const QStringList args = app.arguments();
    for (qsizetype i = 1; i < args.size(); ++i) {
        if (args[i] == QLatin1String("--settings") && i + 1 < args.size()) {
            settingsPath = QDir::current().absoluteFilePath(args[++i]); // ".." is left to the links' resolution
        } else {
            std::fprintf(stderr, "usage: impulz [--settings FILE] | impulz --headless [--settings FILE] [--wait]\n");
            return 2;
        }
    }
    const bool named = !settingsPath.isEmpty();
    if (!named)
        settingsPath = resolveSettingsPath(QCoreApplication::applicationFilePath());
    // A file named on the command line must be there and readable; the program's own may be missing (defaults),
    // but one that is there and cannot be read is said, never taken for defaults in silence.
    const QString problem = settingsFileProblem(settingsPath, !named);
    if (!problem.isEmpty() && named) {
        const QString text = QStringLiteral("Soubor nastavení %1 nelze použít: %2").arg(settingsPath, problem);
        std::fprintf(stderr, "impulz: %s\n", text.toLocal8Bit().constData());
        MessageBox::error(nullptr, text);
        return 1;
    }

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
