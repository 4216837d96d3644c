#include "main.h"

#include "components/controls.h"
#include "components/cooltrayicon.h"
#include "components/messagebox.h"
#include "core/host/headless.h"
#include "core/link/streamdecoder.h"
#include "core/host/version.h"
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
#include <QScrollBar>
#include <QScreen>
#include <QTimer>
#include <QUrl>

#include <algorithm>

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
// The log, whose lines stay clear of the buttons that lie in front of its lower right part: its text wraps before
// their left edge, so no line, the newest least of all, runs under them. The strip beside the text is the log's
// empty background, with the buttons in it.
class LogView : public QPlainTextEdit {
public:
    using QPlainTextEdit::QPlainTextEdit;

    void keepClearOf(const QList<QWidget*>& covering) {
        m_covering = covering;
        setAutoFillBackground(true);
        setBackgroundRole(QPalette::Base);
        updateMargins();
    }

protected:
    bool event(QEvent* e) override {
        const bool handled = QPlainTextEdit::event(e);
        if (e->type() == QEvent::StyleChange || e->type() == QEvent::Polish)
            updateMargins(); // the frame and the scroll bar may have changed their width
        return handled;
    }

private:
    void updateMargins() {
        const QRect area = geometry();
        int clearRight = area.right() + 1;
        for (const QWidget* w : std::as_const(m_covering)) {
            if (w->geometry().intersects(area))
                clearRight = std::min(clearRight, w->x());
        }
        // Where the text would end without a margin: inside the frame, left of the scroll bar that is always on.
        const int textRight = area.right() + 1 - frameWidth() - verticalScrollBar()->sizeHint().width();
        setViewportMargins(0, 0, std::max(0, textRight - clearRight), 0);
    }

    QList<QWidget*> m_covering;
};

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

TForm1::TForm1(Settings& settings, RecorderPort& recorder, const MainWindowConfig& config, QWidget* parent)
    : QWidget(parent), m_settings(settings), m_recorder(recorder), m_config(config) {
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

    auto* log = new LogView(this);
    Memo1 = log;
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
    log->keepClearOf({btnStatistika, btnPocitadla, btnSmazat});

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
    // Without an address every attempt ends in "Socket error: 10057"; the log says once what is missing.
    if (m_settings.text(Settings::Address).trimmed().isEmpty())
        appendLog(noControllerAddressText(m_settings.filePath()));
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
        const bool available = m_recorder.available();
        const QString state = available ? QStringLiteral("připojeno k záznamu na pozadí")
                                        : QStringLiteral("záznam na pozadí skončil, čekám na jeho návrat");
        setWindowTitle(title + QStringLiteral(" – ") + state);
        // The label shares its row with the signature: the waiting state says it in as few words.
        LabelZaznam->setText(available ? QStringLiteral("Připojeno k záznamu na pozadí")
                                       : QStringLiteral("Čekám na záznam na pozadí"));
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
    const bool sessionEnds = m_sessionEnd.isValid() && !m_sessionEnd.hasExpired(m_config.sessionEndGraceMs);
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
    // Nothing here may record in its place: the connect toggle and the settings stay off until the recorder is back.
    btnPripoj->setEnabled(false);
    updateSettingsButton();
    // Levels nobody reports any more are not shown: every LED dark, the group greyed.
    for (LedIndicator* led : Leds) {
        if (led->state() != lsOFF)
            led->setState(lsOFF);
    }
    GroupBox1->setEnabled(false);
    RefreshTitles();
    const QString text = QStringLiteral("Záznam na pozadí skončil; toto okno nic nezaznamenává a čeká na jeho návrat.");
    appendLog(text);
    TrayIcon1->showMessage(QStringLiteral("Záznam skončil"), text);
}

void TForm1::recorderReturned() {
    btnPripoj->setEnabled(true);
    GroupBox1->setEnabled(true);
    updateSettingsButton();
    RefreshTitles();
    const QString text = QStringLiteral("Záznam na pozadí znovu běží; připojeno k záznamu na pozadí.");
    appendLog(text);
    TrayIcon1->showMessage(QStringLiteral("Záznam běží"), text);
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
    if (m_lastFailureNotice.isValid() && !m_lastFailureNotice.hasExpired(m_config.writeFailureNoticeMs))
        return;
    m_lastFailureNotice.start();
    TrayIcon1->showMessage(QStringLiteral("Chyba zápisu"),
                           QStringLiteral("Bit%1: událost nebyla zapsána (%2)").arg(input).arg(reason));
}
