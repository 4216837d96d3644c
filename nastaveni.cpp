#include "nastaveni.h"

#include "components/controls.h"
#include "components/fixeddialog.h"
#include "components/messagebox.h"
#include "components/spinedit.h"
#include "core/settings/autostart.h"
#include "core/settings/inifile.h"
#include "core/mqtt/mqttsettings.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QGroupBox>
#include <QLabel>
#include <QShowEvent>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>

namespace {
template <typename W> W* place(W* widget, int x, int y, int w, int h) {
    widget->setGeometry(x, y, w, h);
    return widget;
}
} // namespace

TFrmNastav::TFrmNastav(Settings& settings, QWidget* parent)
    : FixedDialog("FrmNastav", QStringLiteral("Nastavení"),
                  Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                      Qt::WindowCloseButtonHint,
                  641, 250, parent),
      m_settings(settings) {
    PageControl1 = place(new QTabWidget(this), 4, 4, 633, 208);
    PageControl1->setObjectName(QStringLiteral("PageControl1"));
    PageControl1->addTab(buildGeneralTab(), QStringLiteral("Obecné  "));
    for (int bit = 0; bit < 8; ++bit)
        PageControl1->addTab(buildBitTab(bit), QStringLiteral("Bit %1").arg(bit));
    PageControl1->addTab(buildMqttTab(), QStringLiteral("MQTT"));

    btnZavri = place(new QPushButton(QStringLiteral("&Zavři"), this), 456, 218, 80, 25);
    btnZavri->setObjectName(QStringLiteral("btnZavri"));
    btnUloz = place(new QPushButton(QStringLiteral("&Ulož a zavři"), this), 544, 218, 90, 25);
    btnUloz->setObjectName(QStringLiteral("btnUloz"));
    for (auto* button : {btnZavri, btnUloz}) {
        button->setAutoDefault(false);
        button->setDefault(false);
    }
    // The strip left of the buttons is free: the note stands there while a save or a load is on its way.
    LabelPrubeh = place(new QLabel(this), 8, 218, 440, 25);
    LabelPrubeh->setObjectName(QStringLiteral("LabelPrubeh"));
    LabelPrubeh->hide();

    connect(btnUloz, &QPushButton::clicked, this, &TFrmNastav::btnUlozClick);
    connect(btnZavri, &QPushButton::clicked, this, &TFrmNastav::btnZavriClick);
    for (auto* button : btnCesta)
        connect(button, &QPushButton::clicked, this, &TFrmNastav::btnCesta0Click);
    bindFields();
}

void TFrmNastav::bindFields() {
    m_fields[Settings::Address] = IPAddress;
    m_fields[Settings::Port] = IPPort;
    m_fields[Settings::Description] = edPopis;
    m_fields[Settings::LineNumber] = SpinCislo;
    m_fields[Settings::Autostart] = cbAutostart;
    m_fields[Settings::AutoConnect] = cbAutoLogin;
    m_fields[Settings::ClearLog] = cbSmazat;
    m_fields[Settings::LogLimit] = spPolozek;
    m_fields[Settings::Reconnect] = cbObnovit;
    m_fields[Settings::WatchdogSeconds] = SpSec;
    m_fields[Settings::NameTemplate] = edFormat;
    for (int n = 0; n < 8; ++n) {
        m_fields[Settings::bitKey(n)] = cbBit[n];
        m_fields[Settings::pathKey(n)] = edCesta[n];
    }
    // Field to model as the operator (or a test) edits; model to field when a load changes it.
    for (const Settings::Entry& e : Settings::table()) {
        const Settings::Key key = e.key;
        showSetting(key);
        if (auto* edit = qobject_cast<QLineEdit*>(m_fields[key])) {
            connect(edit, &QLineEdit::textChanged, this,
                    [this, key](const QString& text) { m_settings.set(key, text); });
        } else if (auto* spin = qobject_cast<SpinEdit*>(m_fields[key])) {
            const auto put = [this, key, spin] { m_settings.set(key, spin->Value()); };
            connect(spin->lineEdit(), &QLineEdit::textChanged, this, put);
            connect(spin, &QSpinBox::valueChanged, this, put);
        } else if (auto* box = qobject_cast<QCheckBox*>(m_fields[key])) {
            if (key == Settings::Autostart || key == Settings::AutoConnect || key == Settings::ClearLog)
                connect(box, &QCheckBox::toggled, this, &TFrmNastav::cbAutostartClick);
            else
                connect(box, &QCheckBox::toggled, this, [this, key](bool on) { m_settings.set(key, on); });
        }
    }
    connect(&m_settings, &Settings::changed, this, &TFrmNastav::showSetting);
    connect(&m_settings, &Settings::nameExpanded, this,
            [this](const QString& name) { NahledJmeno->setText(name + QStringLiteral(".csv")); });
}

void TFrmNastav::showSetting(Settings::Key key) {
    QWidget* field = m_fields[key];
    if (auto* spin = qobject_cast<SpinEdit*>(field)) {
        const int value = m_settings.number(key);
        if (std::clamp(spin->Value(), spin->minimum(), spin->maximum()) != value || spin->cleanText().isEmpty())
            spin->setValueClamped(value);
    } else if (auto* edit = qobject_cast<QLineEdit*>(field)) {
        const QString text = m_settings.text(key);
        if (edit->text() != text)
            edit->setText(text);
    } else if (auto* box = qobject_cast<QCheckBox*>(field)) {
        box->setChecked(m_settings.flag(key));
    }
    if (key == Settings::NameTemplate)
        edFormatChange();
}

QWidget* TFrmNastav::buildGeneralTab() {
    auto* page = new QWidget;
    page->setObjectName(QStringLiteral("TabSheet1"));

    auto* network = place(new QGroupBox(QStringLiteral(" Sítová nastavení kontroléru "), page), 6, 4, 128, 170);
    newLabel(network, QStringLiteral("IP Adresa:"), 8, 20);
    IPAddress = place(new QLineEdit(network), 8, 36, 112, 21);
    newLabel(network, QStringLiteral("Port:"), 8, 64);
    IPPort = place(new QLineEdit(network), 8, 80, 112, 21);

    auto* other = place(new QGroupBox(QStringLiteral(" Ostatní nastavení "), page), 140, 4, 214, 170);
    newLabel(other, QStringLiteral("Popis v titulku"), 8, 18);
    edPopis = place(new QLineEdit(other), 8, 34, 198, 21);
    newLabel(other, QStringLiteral("Číslo linky:"), 8, 64);
    SpinCislo = place(new SpinEdit(1, 99, 1, other), 84, 60, 50, 21);
    cbAutostart = place(new QCheckBox(QStringLiteral("spustit po startu Windows"), other), 8, 86, 198, 17);
    cbAutoLogin = place(new QCheckBox(QStringLiteral("automaticky navázat komunikaci"), other), 8, 105, 198, 17);
    cbSmazat = place(new QCheckBox(QStringLiteral("smazat LOG každých"), other), 8, 126, 122, 17);
    spPolozek = place(new SpinEdit(1, 99, 1, other), 130, 124, 40, 21);
    newLabel(other, QStringLiteral("položek"), 173, 128);
    cbObnovit = place(new QCheckBox(QStringLiteral("Obnovit spojení po"), other), 8, 148, 122, 17);
    SpSec = place(new SpinEdit(1, 60, 1, other), 130, 146, 40, 21);
    newLabel(other, QStringLiteral("sec"), 173, 150);

    auto* format =
        place(new QGroupBox(QStringLiteral(" Formát jména souboru ( ukládání dat sleduje přechod do LOG1 ) "), page),
              360, 4, 264, 170);
    edFormat = place(new QLineEdit(format), 8, 20, 248, 21);
    newLabel(format, QStringLiteral("Náhled jména:"), 8, 48);
    NahledJmeno = place(new QLabel(format), 72, 48, 174, 13);
    NahledJmeno->setObjectName(QStringLiteral("NahledJmeno"));
    const QStringList legend{QStringLiteral("%numl%      číslo linky"),
                             QStringLiteral("%numco%   pořadové číslo 0..99999"),
                             QStringLiteral("%time%   aktuelní čas"), QStringLiteral("%date%  aktuelní datum"),
                             QStringLiteral("%nbit%        číslo bitu 0..7")};
    for (int i = 0; i < legend.size(); ++i)
        newLabel(format, legend[i], 8, 72 + 18 * i);

    const std::pair<QWidget*, const char*> names[] = {
        {IPAddress, "IPAddress"}, {IPPort, "IPPort"},           {edPopis, "edPopis"},
        {SpinCislo, "SpinCislo"}, {cbAutostart, "cbAutostart"}, {cbAutoLogin, "cbAutoLogin"},
        {cbSmazat, "cbSmazat"},   {spPolozek, "spPolozek"},     {cbObnovit, "cbObnovit"},
        {SpSec, "SpSec"},         {edFormat, "edFormat"}};
    for (const auto& [widget, name] : names)
        widget->setObjectName(QLatin1String(name));
    return page;
}

QWidget* TFrmNastav::buildBitTab(int bit) {
    auto* page = new QWidget;
    page->setObjectName(QStringLiteral("TabSheet%1").arg(bit + 2));
    cbBit[bit] = place(new QCheckBox(QStringLiteral("Sleduj Bit %1").arg(bit), page), 8, 8, 200, 17);
    cbBit[bit]->setObjectName(QStringLiteral("cbBit%1").arg(bit));
    auto* group = place(new QGroupBox(page), 8, 32, 612, 64);
    newLabel(group, QStringLiteral("Cesta souboru"), 8, 10);
    edCesta[bit] = place(new QLineEdit(group), 8, 28, 562, 21);
    edCesta[bit]->setObjectName(QStringLiteral("edCesta%1").arg(bit));
    btnCesta[bit] = place(new QPushButton(QStringLiteral("..."), group), 576, 28, 25, 21);
    btnCesta[bit]->setObjectName(QStringLiteral("btnCesta%1").arg(bit));
    btnCesta[bit]->setAutoDefault(false);
    return page;
}

QString TFrmNastav::ExpandNameTemplate(int bit) {
    // The preview shows the next running number without using it up: only recorded events advance it.
    const QString name = m_settings.expandName(bit, true);
    NahledJmeno->setText(name + QStringLiteral(".csv"));
    return name;
}

void TFrmNastav::Save(Settings::Completion done) {
    if (!m_mqtt)
        return m_settings.saveLater(this, std::move(done));
    MqttConfig c;
    c.server = edMqttServer->text().trimmed();
    c.port = spMqttPort->Value();
    c.clientId = edMqttClientId->text().trimmed();
    c.prefix = edMqttPrefix->text().trimmed();
    c.user = edMqttUser->text();
    c.passwordFile = edMqttHeslo->text().trimmed();
    c.tls = cbMqttTls->isChecked();
    c.caFile = edMqttCA->text().trimmed();
    // The broker's page follows the monitor's section, and only when that was written.
    m_settings.saveLater(this, [this, c, done = std::move(done)](const QString& error) {
        if (!error.isEmpty() || !m_mqtt)
            return done(error);
        m_mqtt->saveLater(c, this, done);
    });
}

QWidget* TFrmNastav::buildMqttTab() {
    m_mqttPage = new QWidget;
    m_mqttPage->setObjectName(QStringLiteral("TabSheetMqtt"));
    m_mqttPage->setEnabled(false);

    auto* broker = place(new QGroupBox(QStringLiteral(" Broker MQTT pro celý závod "), m_mqttPage), 6, 4, 300, 170);
    newLabel(broker, QStringLiteral("Server (prázdný = neodesílat):"), 8, 18);
    edMqttServer = place(new QLineEdit(broker), 8, 34, 200, 21);
    newLabel(broker, QStringLiteral("Port:"), 216, 18);
    spMqttPort = place(new SpinEdit(1, 65535, 1, broker), 216, 34, 76, 21);
    newLabel(broker, QStringLiteral("Identifikace klienta:"), 8, 62);
    edMqttClientId = place(new QLineEdit(broker), 8, 78, 284, 21);
    newLabel(broker, QStringLiteral("Předpona témat:"), 8, 106);
    edMqttPrefix = place(new QLineEdit(broker), 8, 122, 284, 21);
    newLabel(broker, QStringLiteral("Prázdné pole = výchozí hodnota (šedě)"), 8, 148);

    auto* login = place(new QGroupBox(QStringLiteral(" Přihlášení a šifrování "), m_mqttPage), 312, 4, 312, 170);
    newLabel(login, QStringLiteral("Uživatel:"), 8, 18);
    edMqttUser = place(new QLineEdit(login), 8, 34, 296, 21);
    newLabel(login, QStringLiteral("Soubor s heslem:"), 8, 62);
    edMqttHeslo = place(new QLineEdit(login), 8, 78, 266, 21);
    cbMqttTls = place(new QCheckBox(QStringLiteral("šifrovat spojení (TLS)"), login), 8, 104, 200, 17);
    newLabel(login, QStringLiteral("Certifikát certifikační autority (CA):"), 8, 124);
    edMqttCA = place(new QLineEdit(login), 8, 140, 266, 21);
    for (QLineEdit* edit : {edMqttHeslo, edMqttCA}) {
        auto* browse = place(new QPushButton(QStringLiteral("..."), login), 279, edit->y(), 25, 21);
        browse->setAutoDefault(false);
        connect(browse, &QPushButton::clicked, this, [this, edit] {
            const QString file = QFileDialog::getOpenFileName(this, QString(), edit->text());
            if (!file.isEmpty())
                edit->setText(QDir::toNativeSeparators(file));
        });
    }
    const std::pair<QWidget*, const char*> names[] = {
        {edMqttServer, "edMqttServer"}, {spMqttPort, "spMqttPort"}, {edMqttClientId, "edMqttClientId"},
        {edMqttPrefix, "edMqttPrefix"}, {edMqttUser, "edMqttUser"}, {edMqttHeslo, "edMqttHeslo"},
        {cbMqttTls, "cbMqttTls"},       {edMqttCA, "edMqttCA"}};
    for (const auto& [widget, name] : names)
        widget->setObjectName(QLatin1String(name));
    // The defaults follow the line number as it is typed.
    connect(&m_settings, &Settings::changed, this, [this](Settings::Key key) {
        if (key != Settings::LineNumber)
            return;
        const int line = m_settings.number(Settings::LineNumber);
        edMqttClientId->setPlaceholderText(MqttConfig().effectiveClientId(line));
        edMqttPrefix->setPlaceholderText(MqttConfig().effectivePrefix(line));
    });
    return m_mqttPage;
}

void TFrmNastav::setMqttSettings(MqttSettings* mqtt) {
    m_mqtt = mqtt;
    m_mqttPage->setEnabled(mqtt != nullptr);
    if (mqtt)
        connect(mqtt, &MqttSettings::changed, this, &TFrmNastav::showMqtt);
    showMqtt();
}

void TFrmNastav::showMqtt() {
    const MqttConfig c = m_mqtt ? m_mqtt->config() : MqttConfig();
    const int line = m_settings.number(Settings::LineNumber);
    edMqttServer->setText(c.server);
    spMqttPort->setValueClamped(c.port);
    edMqttClientId->setText(c.clientId);
    edMqttClientId->setPlaceholderText(MqttConfig().effectiveClientId(line));
    edMqttPrefix->setText(c.prefix);
    edMqttPrefix->setPlaceholderText(MqttConfig().effectivePrefix(line));
    edMqttUser->setText(c.user);
    edMqttHeslo->setText(c.passwordFile);
    edMqttHeslo->setPlaceholderText(QStringLiteral("heslo nikdy nestojí v nastavení"));
    cbMqttTls->setChecked(c.tls);
    edMqttCA->setText(c.caFile);
    edMqttCA->setPlaceholderText(QStringLiteral("prázdné = certifikáty systému"));
}

void TFrmNastav::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    // Which file a save writes: beside the program, or in the user's configuration folder.
    btnUloz->setToolTip(QStringLiteral("Soubor nastavení: %1").arg(QDir::toNativeSeparators(m_settings.filePath())));
    if (!event->spontaneous()) {
        FormActivate();
        showMqtt(); // what was typed and not saved goes; the values in force come back
    }
}

void TFrmNastav::FormActivate() {
    ExpandNameTemplate(1);
    PageControl1->setCurrentIndex(0);
}

void TFrmNastav::edFormatChange() {
    ExpandNameTemplate(1);
}

void TFrmNastav::setPending(const QString& note) {
    m_pending = !note.isEmpty();
    for (QWidget* part : std::initializer_list<QWidget*>{PageControl1, btnZavri, btnUloz})
        part->setEnabled(!m_pending);
    LabelPrubeh->setText(note);
    LabelPrubeh->setVisible(m_pending);
    if (m_pending)
        setCursor(Qt::BusyCursor);
    else
        unsetCursor();
}

// The save and the load run where the recorder runs, which may sleep or hang on a file; this window goes on and
// takes their result when it comes. The close box stays usable meanwhile: it only hides the dialog, and the save
// still ends as it would have, with its box on a failure, the titles, and the directory check.
void TFrmNastav::btnUlozClick() {
    if (m_pending)
        return;
    setPending(QStringLiteral("Probíhá ukládání nastavení…"));
    Save([this](const QString& error) {
        setPending({});
        if (!error.isEmpty()) {
            MessageBox::error(this, error);
            return;
        }
        emit saved();
        if (CheckOutputDirectories(m_settings, this))
            accept();
    });
}

void TFrmNastav::btnZavriClick() {
    if (m_pending)
        return;
    setPending(QStringLiteral("Probíhá načítání uloženého nastavení…"));
    // The fields and titles the load changed reach this thread before its result.
    m_settings.loadLater(this, [this](const QString& error) {
        setPending({});
        if (!error.isEmpty()) {
            MessageBox::error(this, error);
            return;
        }
        accept();
    });
}

void TFrmNastav::btnCesta0Click() {
    const QString name = sender() ? sender()->objectName() : QString();
    int n = -1;
    for (int i = 0; i < 8; ++i) {
        if (name == QStringLiteral("btnCesta%1").arg(i))
            n = i;
    }
    if (n < 0)
        return;
    const QString start = edCesta[n]->text();
    const QString chosen = folderChooser
                               ? folderChooser(start)
                               : QFileDialog::getExistingDirectory(this, QString(), start, QFileDialog::ShowDirsOnly);
    if (!chosen.isEmpty())
        edCesta[n]->setText(QDir::toNativeSeparators(chosen));
}

void TFrmNastav::cbAutostartClick() {
    // The box keeps its new state even when the entry cannot be written.
    const auto* box = qobject_cast<QCheckBox*>(sender());
    const auto key = Settings::Key(std::find(m_fields.begin(), m_fields.end(), box) - m_fields.begin());
    if (!box || key >= Settings::KeyCount)
        return;
    try {
        m_settings.set(key, box->isChecked());
    } catch (const std::exception& e) {
        MessageBox::error(this, QString::fromUtf8(e.what()));
    }
}

void loadSettingsAndShow(Settings& settings) {
    // The load runs on the recorder's thread; the fields and titles it changed, up to an error too, are shown
    // before the caller goes on, as they would be after a load on this thread.
    struct ShowChanges {
        ~ShowChanges() { QCoreApplication::sendPostedEvents(nullptr, QEvent::MetaCall); }
    } show;
    settings.load();
}

bool runLoadSettings(Settings& settings, QWidget* parent) {
    try {
        loadSettingsAndShow(settings);
        return true;
    } catch (const std::exception& e) {
        MessageBox::error(parent, QString::fromUtf8(e.what()));
        return false;
    }
}

bool CheckOutputDirectories(const Settings& settings, QWidget* parent) {
    QString list;
    for (int n = 0; n < 8; ++n) {
        const QString dir = settings.outputDirectory(n);
        if (dir.isEmpty() || !QFileInfo(dir).isDir())
            list += dir + QStringLiteral(" (Bit%1)").arg(n) + QLatin1Char('\r');
    }
    if (list.isEmpty())
        return true;
    MessageBox::error(parent,
                      QStringLiteral("Nenalezen adresář:\r") + list +
                          QStringLiteral("\rAplikace nebude pracovat korektně !!!\rZkontrolujte nastavení !!!"));
    return false;
}
