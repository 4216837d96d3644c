#pragma once

#include "components/fixeddialog.h"
#include "core/settings/settings.h"

#include <array>
#include <functional>

class MqttSettings;
class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTabWidget;
class SpinEdit;

// The settings dialog: a view over the settings model. Every edit goes into the model as it is made, so it is in
// force at once, before and without a save; a load changes the fields through the model.
class TFrmNastav : public FixedDialog {
    Q_OBJECT
public:
    explicit TFrmNastav(Settings& settings, QWidget* parent = nullptr);

    // Expands the file-name template for one input and shows the result in the preview label.
    QString ExpandNameTemplate(int bit);

    // Writes every setting to the settings file, then the plant broker's page to its section, on the recorder's
    // side and without waiting for it: done gets the error text of the first write that failed, or an empty text.
    void Save(Settings::Completion done);
    // A save or a load is on its way: the dialog is disabled meanwhile and says what it waits for.
    bool pending() const { return m_pending; }

    // The plant broker's page edits this model; without one (a window attached to another process's recorder,
    // which publishes on its own) the page stays disabled. Its values take effect when saved.
    void setMqttSettings(MqttSettings* mqtt);

    // Fields.
    QLineEdit* IPAddress = nullptr;
    QLineEdit* IPPort = nullptr;
    QLineEdit* edPopis = nullptr;
    SpinEdit* SpinCislo = nullptr;
    QCheckBox* cbAutostart = nullptr;
    QCheckBox* cbAutoLogin = nullptr;
    QCheckBox* cbSmazat = nullptr;
    SpinEdit* spPolozek = nullptr;
    QCheckBox* cbObnovit = nullptr;
    SpinEdit* SpSec = nullptr;
    QLineEdit* edFormat = nullptr;
    std::array<QCheckBox*, 8> cbBit{};
    std::array<QLineEdit*, 8> edCesta{};
    std::array<QPushButton*, 8> btnCesta{};
    // The plant broker's page.
    QLineEdit* edMqttServer = nullptr;
    SpinEdit* spMqttPort = nullptr;
    QLineEdit* edMqttClientId = nullptr;
    QLineEdit* edMqttPrefix = nullptr;
    QLineEdit* edMqttUser = nullptr;
    QLineEdit* edMqttHeslo = nullptr;
    QCheckBox* cbMqttTls = nullptr;
    QLineEdit* edMqttCA = nullptr;

    // Layout.
    QTabWidget* PageControl1 = nullptr;
    QLabel* NahledJmeno = nullptr;
    QPushButton* btnZavri = nullptr;
    QPushButton* btnUloz = nullptr;
    QLabel* LabelPrubeh = nullptr; // what the dialog waits for, while it waits

    // Test seam for the folder browser: when set, it is called instead of the real dialog with the start folder
    // and gives back the chosen folder, or an empty text for a cancel.
    static inline std::function<QString(const QString&)> folderChooser;

signals:
    void saved(); // the settings reached the file: the titles follow

public slots:
    void edFormatChange();
    void btnUlozClick();
    void btnZavriClick();
    void btnCesta0Click();
    void cbAutostartClick();

protected:
    void showEvent(QShowEvent* event) override;

private:
    void FormActivate();
    QWidget* buildGeneralTab();
    QWidget* buildBitTab(int bit);
    QWidget* buildMqttTab();
    void showMqtt();
    void bindFields();
    void showSetting(Settings::Key key);
    void setPending(const QString& note);

    Settings& m_settings;
    MqttSettings* m_mqtt = nullptr;
    QWidget* m_mqttPage = nullptr;
    std::array<QWidget*, Settings::KeyCount> m_fields{};
    bool m_pending = false;
};

// Loads the settings file into the model (on the recorder's thread) and shows what changed; throws as the load.
void loadSettingsAndShow(Settings& settings);
// Loads the settings file into the model; a failure is shown in an error box and gives false.
bool runLoadSettings(Settings& settings, QWidget* parent);

// True when all eight output folders exist; otherwise shows which are missing and gives false.
bool CheckOutputDirectories(const Settings& settings, QWidget* parent);
