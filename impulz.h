#pragma once

#include "main.h"

#include "core/recording/counters.h"
#include "core/link/monitor.h"
#include "core/host/recorderhost.h"

#include <memory>

class RemoteRecorder;
class TFrmNastav;
class TFrmPocitadla;
class TfrmStatistika;

// The windowed program: the recorder (its own, or one of another process that the windows attached to) and the
// four windows in their order, wired to it.
class Impulz {
public:
    // Records itself. settingsPath: the settings file, or empty for the one that belongs to the executable.
    explicit Impulz(const QString& settingsPath = QString(), const CoreConfig& config = CoreConfig(),
                    const MainWindowConfig& window = {});
    // A view of the recorder of another process.
    explicit Impulz(std::unique_ptr<RemoteRecorder> remote, const MainWindowConfig& window = {});
    ~Impulz(); // stops the core's thread

private:
    std::unique_ptr<RecorderHost> m_host;
    std::unique_ptr<RemoteRecorder> m_remote;

    // The windows, in the order they are made; they go before the recorder they show, the last made first.
    std::unique_ptr<TForm1> m_form1;
    std::unique_ptr<TFrmNastav> m_nastav;
    std::unique_ptr<TFrmPocitadla> m_pocitadla;
    std::unique_ptr<TfrmStatistika> m_statistika;

public:
    Settings& settings;
    Counters& counters;
    RecorderPort& recorder;
    Monitor* monitor = nullptr; // null in a window attached to another process
    // The windows under the program's names, owned above.
    TForm1* Form1 = nullptr;
    TFrmNastav* FrmNastav = nullptr;
    TFrmPocitadla* FrmPocitadla = nullptr;
    TfrmStatistika* frmStatistika = nullptr;

    RecorderHost* host() const { return m_host.get(); }
    // Runs f on the core's thread and waits for it.
    template <typename F> void onCore(F f) { m_host->onCore(f); }

    // The exit: the running number is stored and the link closed, on the core's thread; a failed store is shown.
    // A window attached to another process's recorder leaves it recording.
    void FormDestroy();

private:
    void createWindows(const MainWindowConfig& window);
    // An attached window shows what its recorder has now (at the attach, and again when it returns).
    void showRemoteState();
};
