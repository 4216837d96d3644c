#include "impulz.h"

#include "components/messagebox.h"
#include "core/mqtt/mqttpublisher.h"
#include "core/serving/recorderclient.h"
#include "nastaveni.h"
#include "pocitadla.h"
#include "statistika.h"

#include <QCheckBox>
#include <QGuiApplication>
#include <QSessionManager>

Impulz::Impulz(const QString& settingsPath, const CoreConfig& config, const MainWindowConfig& window)
    : m_host(std::make_unique<RecorderHost>(settingsPath, config)), settings(m_host->settings),
      counters(m_host->counters), recorder(*m_host->port()), monitor(m_host->monitor) {
    createWindows(window);
    FrmNastav->setMqttSettings(&m_host->mqttSettings); // only the process that records publishes
    if (m_host->mqtt)
        QObject::connect(m_host->mqtt, &MqttPublisher::backlogChanged, Form1, &TForm1::showMqttBacklog);
    QObject::connect(Form1, &TForm1::startupRequested, monitor, &Monitor::startup, Qt::QueuedConnection);
}

Impulz::Impulz(std::unique_ptr<RemoteRecorder> remote, const MainWindowConfig& window)
    : m_remote(std::move(remote)), settings(m_remote->settings()), counters(m_remote->counters()), recorder(*m_remote) {
    createWindows(window);
    showRemoteState();
    // A recorder that returns is shown as it is now: its levels, its recent lines, its link and counts.
    QObject::connect(m_remote.get(), &RemoteRecorder::reattached, Form1, [this] {
        Form1->recorderReturned();
        showRemoteState();
    });
}

void Impulz::showRemoteState() {
    Form1->cbHex->setChecked(m_remote->initialHexDump());
    Form1->showReport(m_remote->initialLevels() >= 0 ? quint8(m_remote->initialLevels()) : quint8(0xff));
    for (const QString& line : m_remote->initialLog())
        Form1->appendLog(line);
    Form1->showReconnects(m_remote->initialReconnects());
    Form1->showConnection(m_remote->initialConnecting());
    Form1->showBusy(m_remote->initialBusy());
}

void Impulz::createWindows(const MainWindowConfig& window) {
    m_form1 = std::make_unique<TForm1>(settings, recorder, window);
    m_nastav = std::make_unique<TFrmNastav>(settings);
    m_pocitadla = std::make_unique<TFrmPocitadla>(counters, settings.sharedClock());
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
