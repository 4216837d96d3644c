#include "main.h"

#include "components/controls.h"
#include "components/cooltrayicon.h"
#include "components/messagebox.h"
#include "components/spinedit.h"
#include "core/eventfile.h"
#include "core/headless.h"
#include "core/inifile.h"
#include "core/instancelock.h"
#include "core/version.h"
#include "nastaveni.h"
#include "pocitadla.h"
#include "statistika.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QGroupBox>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QSessionManager>
#include <QTimer>
#include <QUrl>

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

TForm1::TForm1(Settings& settings, Monitor& monitor, QWidget* parent)
    : QWidget(parent), m_settings(settings), m_monitor(monitor) {
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
    connect(cbHex, &QCheckBox::toggled, this, [this](bool on) { m_monitor.setHexDump(on); });

    // The core's signals arrive queued from its thread, in the order it sent them.
    connect(&m_monitor, &Monitor::reportDecoded, this, &TForm1::showReport);
    connect(&m_monitor, &Monitor::logLine, this, &TForm1::appendLog);
    connect(&m_monitor, &Monitor::dataEvent, this, &TForm1::applyLogLimit);
    connect(&m_monitor, &Monitor::connectionChanged, this, &TForm1::showConnection);
    connect(&m_monitor, &Monitor::reconnected, this, &TForm1::showReconnects);
    connect(&m_monitor, &Monitor::warning, this, &TForm1::showWarning);
    connect(&m_monitor, &Monitor::writeFailed, this, &TForm1::showWriteFailure);
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
    // The start-up sequence runs once, at the first showing, after the window has been painted.
    QTimer::singleShot(0, this, guarded(this, [this] { FormActivate(); }));
}

void TForm1::FormActivate() {
    if (!runLoadSettings())
        return;
    m_pocitadla->btnDnesClick();
    m_statistika->btnDnesClick();
    if (!CheckOutputDirectories())
        m_nastav->exec();
    // The one-second wait and the automatic connection run on the core's thread, so this window is painted and
    // answers meanwhile.
    QMetaObject::invokeMethod(&m_monitor, &Monitor::startup, Qt::QueuedConnection);
}

void TForm1::RefreshTitles() {
    const QString line = QString::number(m_settings.number(Settings::SpinCislo));
    const QString description = m_settings.text(Settings::edPopis);
    const QString title = QStringLiteral("I/O - ") + description + QStringLiteral(" (Linka ") + line + QLatin1Char(')');
    setWindowTitle(title);
    m_applicationTitle = title;
    TrayIcon1->setHint(QStringLiteral("I/O Controler \r\nLinka ") + line + QStringLiteral("\r\n") + description);
    if (m_pocitadla)
        m_pocitadla->setWindowTitle(QStringLiteral("Počítadla ") + title);
}

void TForm1::LoadSettings() {
    m_settings.load(); // the core sets the watchdog's interval and this window its titles when the load ends
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
    if (!sessionEnds &&
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
    if (m_settings.flag(Settings::cbSmazat) && logLineCount() > m_settings.number(Settings::spPolozek))
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
    QMetaObject::invokeMethod(&m_monitor, &Monitor::btnPripojClick, Qt::QueuedConnection);
}

// ---- What the core reports ----

void TForm1::showReport(quint8 value) {
    for (int n = 0; n < 8; ++n)
        Leds[n]->setState(StreamDecoder::isLog1(value, n) ? lsON : lsOFF);
}

void TForm1::showConnection(bool connecting) {
    btnPripoj->setText(connecting ? QStringLiteral("&Odpojit") : QStringLiteral("&Připojit"));
    btnNastav->setEnabled(!connecting);
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

Impulz::Impulz(const QString& settingsPath) {
    if (!settingsPath.isEmpty())
        settings.setFilePath(settingsPath);
    settings.removeStaleTemporaryFiles();
    monitor = new Monitor(settings, counters);
    monitor->moveToThread(&m_coreThread);
    m_coreThread.setObjectName(QStringLiteral("impulz-core"));
    m_coreThread.start();

    Form1 = new TForm1(settings, *monitor);
    FrmNastav = new TFrmNastav(settings);
    FrmPocitadla = new TFrmPocitadla(counters);
    frmStatistika = new TfrmStatistika(settings);
    Form1->setWindows(FrmNastav, FrmPocitadla, frmStatistika);

    // A load sets the watchdog's period; the dialog's buttons refresh the titles and re-check the folders.
    QObject::connect(&settings, &Settings::loaded, monitor, &Monitor::applyWatchdogInterval);
    QObject::connect(FrmNastav, &TFrmNastav::saved, Form1, &TForm1::RefreshTitles);
    // A desktop session that ends closes the monitor without the confirmation box.
    QObject::connect(qApp, &QGuiApplication::commitDataRequest, Form1, [this](QSessionManager&) {
        Form1->sessionEnding();
    });
}

Impulz::~Impulz() {
    delete frmStatistika;
    delete FrmPocitadla;
    delete FrmNastav;
    delete Form1;
    // The core goes back to this thread to be destroyed here, once its own thread has stopped.
    QThread* here = QThread::currentThread();
    onCore([this, here] { monitor->moveToThread(here); });
    m_coreThread.quit();
    m_coreThread.wait();
    delete monitor;
}

void Impulz::FormDestroy() {
    QString error;
    onCore([this, &error] { error = monitor->shutdown(); });
    if (!error.isEmpty())
        MessageBox::error(Form1, error);
}

// ---- Program entry ----

int impulzMain(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (qstrcmp(argv[i], "--headless") == 0)
            return runHeadless(argc, argv);
    }
    Q_INIT_RESOURCE(resources);
    QApplication app(argc, argv);
    app.setApplicationName(QStringLiteral("impulz"));
    app.setQuitOnLastWindowClosed(false);

    const QString settingsPath = resolveSettingsPath(QCoreApplication::applicationFilePath());
    InstanceLock lock;
    if (!lock.acquire(settingsPath)) {
        MessageBox::error(nullptr, lock.errorText());
        return 1;
    }
    Impulz impulz(settingsPath);
    impulz.Form1->show();
    const int rc = app.exec();
    impulz.FormDestroy();
    return rc;
}
