#include "main.h"

#include "components/controls.h"
#include "components/cooltrayicon.h"
#include "components/messagebox.h"
#include "components/spinedit.h"
#include "core/clock.h"
#include "core/eventfile.h"
#include "core/inifile.h"
#include "core/version.h"
#include "nastaveni.h"
#include "pocitadla.h"
#include "socket/clientsocket.h"
#include "statistika.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDateEdit>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QGroupBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QSessionManager>
#include <QThread>
#include <QTimeEdit>
#include <QTimer>
#include <QUrl>

TForm1* Form1 = nullptr;
qint32 SequenceNumber = 0;
std::array<bool, 8> StoredLevels{};

namespace {
QString g_settingsPathOverride;

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

QString rootFolder() {
    return QDir::toNativeSeparators(QDir::rootPath());
}
} // namespace

QString SettingsFilePath() {
    if (!g_settingsPathOverride.isEmpty())
        return g_settingsPathOverride;
    return settingsPathFor(QCoreApplication::applicationFilePath());
}

void setSettingsFilePathForTesting(const QString& path) {
    g_settingsPathOverride = path;
}

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

TForm1::TForm1(QWidget* parent) : QWidget(parent) {
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

    ClientSocket = new ::ClientSocket(this);
    Timer1 = new QTimer(this);
    Timer1->setObjectName(QStringLiteral("Timer1"));

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
    connect(Timer1, &QTimer::timeout, this, guarded(this, [this] { Timer1Timer(); }));
    connect(TrayIcon1, &TCoolTrayIcon::click, this, &TForm1::TrayIcon1Click);
    ClientSocket->onSessionConnected = [this](quint16 code) { ClientSocketSessionConnected(code); };
    ClientSocket->onError = [this] { ClientSocketError(); };
    ClientSocket->onDataAvailable = [this] { ClientSocketDataAvailable(); };
    // A desktop session that ends closes the monitor without the confirmation box.
    connect(qApp, &QGuiApplication::commitDataRequest, this, [this](QSessionManager&) { sessionEnding(); });

    FormCreate();
}

TForm1::~TForm1() = default;

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
    FrmPocitadla->btnDnesClick();
    frmStatistika->btnDnesClick();
    if (!CheckOutputDirectories())
        FrmNastav->exec();
    QThread::msleep(StartupWaitMs);
    if (FrmNastav->cbAutoLogin->isChecked())
        btnPripojClick();
}

void TForm1::RefreshTitles() {
    const QString line = FrmNastav->SpinCislo->text();
    const QString description = FrmNastav->edPopis->text();
    const QString title = QStringLiteral("I/O - ") + description + QStringLiteral(" (Linka ") + line + QLatin1Char(')');
    setWindowTitle(title);
    m_applicationTitle = title;
    TrayIcon1->setHint(QStringLiteral("I/O Controler \r\nLinka ") + line + QStringLiteral("\r\n") + description);
    FrmPocitadla->setWindowTitle(QStringLiteral("Počítadla ") + title);
}

void TForm1::LoadSettings() {
    IniFile ini(SettingsFilePath());
    TFrmNastav* f = FrmNastav;
    struct Deferral {
        Deferral() {
            HandlerErrorDeferral::active = true;
            HandlerErrorDeferral::pending = nullptr;
        }
        ~Deferral() {
            HandlerErrorDeferral::active = false;
            HandlerErrorDeferral::pending = nullptr;
        }
    } deferral;

    const auto putText = [&](QLineEdit* edit, const QString& key, const QString& def) {
        const QString value = ini.readString(SettingsSection, key, def);
        if (edit->text() != value)
            edit->setText(value);
    };
    const auto putBool = [&](QCheckBox* box, const QString& key) {
        box->setChecked(ini.readBool(SettingsSection, key, false));
        HandlerErrorDeferral::rethrowPending();
    };
    const auto putInt = [&](SpinEdit* spin, const QString& key, int def) {
        spin->setValueClamped(ini.readInteger(SettingsSection, key, def));
    };

    putText(f->IPAddress, QStringLiteral("IP"), QStringLiteral("127.0.0.1"));
    putText(f->IPPort, QStringLiteral("Port"), QStringLiteral("23"));
    for (int n = 0; n < 8; ++n)
        putText(f->edCesta[n], QStringLiteral("Soubor%1").arg(n), rootFolder());
    for (int n = 0; n < 8; ++n)
        putBool(f->cbBit[n], QStringLiteral("Bit%1").arg(n));
    putText(f->edFormat, QStringLiteral("Format"), QStringLiteral("%linka%_%cas%"));
    putInt(f->SpinCislo, QStringLiteral("Cislo_linky"), 1);
    putText(f->edPopis, QStringLiteral("Popis"), QStringLiteral("monitor"));
    SequenceNumber = ini.readInteger(SettingsSection, QStringLiteral("Por_cislo"), 1);
    putBool(f->cbAutostart, QStringLiteral("Start"));
    putBool(f->cbAutoLogin, QStringLiteral("Login"));
    putBool(f->cbSmazat, QStringLiteral("Mazat"));
    putInt(f->spPolozek, QStringLiteral("Pocet"), 20);
    putBool(f->cbObnovit, QStringLiteral("Obnovit"));
    putInt(f->SpSec, QStringLiteral("Sec"), 15);

    Timer1->setInterval(f->SpSec->Value() * 1000);
    RefreshTitles();
}

bool TForm1::runLoadSettings() {
    try {
        LoadSettings();
        return true;
    } catch (const std::exception& e) {
        MessageBox::error(this, QString::fromUtf8(e.what()));
        return false;
    }
}

bool TForm1::CheckOutputDirectories() {
    QString list;
    for (int n = 0; n < 8; ++n) {
        const QString dir = FrmNastav->edCesta[n]->text();
        if (dir.isEmpty() || !QFileInfo(dir).isDir())
            list += dir + QStringLiteral(" (Bit%1)").arg(n) + QLatin1Char('\r');
    }
    if (list.isEmpty())
        return true;
    MessageBox::error(this, QStringLiteral("Nenalezen adresář:\r") + list +
                                QStringLiteral("\rAplikace nebude pracovat korektně !!!\rZkontrolujte nastavení !!!"));
    return false;
}

void TForm1::closeEvent(QCloseEvent* event) {
    if (!m_sessionEnding &&
        !MessageBox::yesNo(this, QStringLiteral("Ukončit"),
                           QStringLiteral("!!! Pozor !!!\rUkončením programu nebude možné dále sledovat impulzy "
                                          "!!!\rOpravdu chcete program ukončit ???"))) {
        event->ignore();
        return;
    }
    event->accept();
    QMetaObject::invokeMethod(qApp, &QCoreApplication::quit, Qt::QueuedConnection);
}

void TForm1::FormDestroy() {
    try {
        IniFile(SettingsFilePath()).writeInteger(SettingsSection, QStringLiteral("Por_cislo"), SequenceNumber);
    } catch (const std::exception& e) {
        MessageBox::error(this, QString::fromUtf8(e.what()));
        return;
    }
    if (ClientSocket->state() != wsClosed)
        btnPripojClick();
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

void TForm1::btnNastavClick() {
    FrmNastav->exec();
}

void TForm1::btnPocitadlaClick() {
    FrmPocitadla->exec();
}

void TForm1::btnStatistikaClick() {
    frmStatistika->exec();
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

// ---- Connection and watchdog ----

void TForm1::btnPripojClick() {
    if (ClientSocket->state() == wsClosed) {
        ClientSocket->setAddress(FrmNastav->IPAddress->text());
        ClientSocket->setPort(FrmNastav->IPPort->text());
        ClientSocket->setProtocol(QStringLiteral("TCP"));
        ClientSocket->open();
        btnPripoj->setText(QStringLiteral("&Odpojit"));
        btnNastav->setEnabled(false);
        if (FrmNastav->cbObnovit->isChecked() && !Timer1->isActive())
            Timer1->start();
    } else {
        Timer1->stop();
        btnPripoj->setText(QStringLiteral("&Připojit"));
        ClientSocket->close();
        btnNastav->setEnabled(true);
    }
}

void TForm1::ClientSocketSessionConnected(quint16 errorCode) {
    // The greeting goes out even when the attempt failed: the failed sends are how the log learns of it.
    Q_UNUSED(errorCode);
    ClientSocket->sendBuf(QByteArray::fromHex("FFF6"));
    ClientSocket->sendBuf(QByteArray::fromHex("FFFA2C3200FFF0"));
}

void TForm1::ClientSocketError() {
    const int code = ClientSocket->lastError();
    appendLog(QStringLiteral("Socket error: %1").arg(code));
    if (code == 10053)
        MessageBox::warning(this, QStringLiteral("Charon I disconnected after socket timeout.\r"
                                                 "If you wish to prevent this, turn on the \"NVT Keep connection\"\r"
                                                 "Charon feature and \"NVT filter\" in this program."));
}

void TForm1::RestartWatchdog() {
    Timer1->stop();
    Timer1->setInterval(FrmNastav->SpSec->Value() * 1000);
    Timer1->start();
}

void TForm1::Timer1Timer() {
    Timer1->stop();
    if (ClientSocket->state() != wsClosed)
        btnPripojClick();
    ++m_reconnectCount;
    appendLog(QStringLiteral("Chyba: obnoveni komunikace %1x !!!!").arg(m_reconnectCount));
    LabelObnov->setText(QStringLiteral("Obnovení spojení: %1").arg(m_reconnectCount));
    LabelObnov->adjustSize();
    QThread::msleep(WatchdogWaitMs);
    btnPripojClick();
    Timer1->start();
}

// ---- Stream decoder ----

void TForm1::ClientSocketDataAvailable() {
    char buffer[255];
    const int n = ClientSocket->receiveBuf(buffer, int(sizeof buffer));
    if (FrmNastav->cbSmazat->isChecked() && logLineCount() > FrmNastav->spPolozek->Value())
        Memo1->clear();
    if (n > 252)
        MessageBox::warning(this, QStringLiteral("Program expects packets of < about 254... but could be revised."));
    if (n <= 0)
        return;
    const QString plain =
        m_decoder.feed(QByteArrayView(buffer, n), [this](const StreamDecoder::Report& r) { handleReport(r); });
    if (!plain.isEmpty())
        appendLog(plain);
    RestartWatchdog();
}

void TForm1::handleReport(const StreamDecoder::Report& report) {
    const quint8 v = report.value;
    for (int n = 0; n < 8; ++n)
        Leds[n]->setState((v >> n) & 1 ? lsOFF : lsON);
    if (report.subcommand == 52) {
        if (cbHex->isChecked())
            appendLog(StreamDecoder::hexText(report.chunkSoFar));
        RecordInputEvents(v);
    }
    for (int n = 0; n < 8; ++n)
        StoredLevels[n] = (v >> n) & 1;
    appendLog(StreamDecoder::reportLine(v, Clock::now()));
}

// ---- Input event recorder ----

void RecordInputEvents(quint8 v) {
    TFrmPocitadla* counters = FrmPocitadla;
    const QDateTime from(counters->DateTimePicker1->date(), counters->DateTimePicker2->time());
    const QDateTime to(counters->DateTimePicker3->date(), counters->DateTimePicker4->time());
    const bool inPeriod = Clock::now() >= from && Clock::now() <= to;

    for (int n = 0; n < 8; ++n) {
        if (!FrmNastav->cbBit[n]->isChecked() || ((v >> n) & 1) || !StoredLevels[n])
            continue;
        const qint32 before = SequenceNumber;
        const QString name = FrmNastav->ExpandNameTemplate(n);
        const EventWriteResult written = writeEventFile(FrmNastav->edCesta[n]->text(), name);
        if (SequenceNumber != before) {
            // The number is on disk before the next one is issued, so neither a reload nor a crash re-issues it.
            try {
                IniFile(SettingsFilePath()).writeInteger(SettingsSection, QStringLiteral("Por_cislo"), SequenceNumber);
            } catch (const std::exception& e) {
                Form1->appendLog(QStringLiteral("Chyba zápisu: ") + QString::fromUtf8(e.what()));
            }
        }
        if (!written.ok) {
            // One file that cannot be written costs its own event only: the report, the other inputs and the
            // watchdog go on, and the operator reads why.
            Form1->appendLog(QStringLiteral("Chyba zápisu: %1 (%2)").arg(written.path, written.error));
            continue;
        }
        QLineEdit* counter = counters->Edit[n];
        counter->setText(QString::number(counter->text().toInt() + 1));
        if (inPeriod && counters->spBitUsek->Value() == n)
            counters->Edit9->setText(QString::number(counters->Edit9->text().toInt() + 1));
    }
}

// ---- Program entry ----

int impulzMain(int argc, char** argv) {
    Q_INIT_RESOURCE(resources);
    QApplication app(argc, argv);
    app.setApplicationName(QStringLiteral("impulz"));
    app.setQuitOnLastWindowClosed(false);

    Form1 = new TForm1;
    FrmNastav = new TFrmNastav;
    FrmPocitadla = new TFrmPocitadla;
    frmStatistika = new TfrmStatistika;

    Form1->show();
    const int rc = app.exec();

    Form1->FormDestroy();
    delete frmStatistika;
    delete FrmPocitadla;
    delete FrmNastav;
    delete Form1;
    return rc;
}
