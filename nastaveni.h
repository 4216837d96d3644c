#pragma once

#include "components/fixeddialog.h"

#include <array>
#include <exception>
#include <functional>

class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTabWidget;
class SpinEdit;

// The settings dialog. Its fields are the program's only settings store: every other window reads the field
// it needs at the moment it needs it, so an edit is in force at once, before and without a save.
class TFrmNastav : public FixedDialog {
    Q_OBJECT
public:
    explicit TFrmNastav(QWidget* parent = nullptr);

    // Expands the file-name template for one input and shows the result in the preview label.
    QString ExpandNameTemplate(int bit);

    // Writes every field to the settings file, in the stored order; throws IniWriteError on the first failure.
    void Save();

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

    // Layout.
    QTabWidget* PageControl1 = nullptr;
    QLabel* NahledJmeno = nullptr;
    QPushButton* btnZavri = nullptr;
    QPushButton* btnUloz = nullptr;

    // Test seam for the folder browser: when set, it is called instead of the real dialog with the start folder
    // and gives back the chosen folder, or an empty text for a cancel.
    static inline std::function<QString(const QString&)> folderChooser;

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
};

extern TFrmNastav* FrmNastav;

// Errors raised by a check box handler while a load puts values into the fields: the load stops at that key
// and its caller reports the error, instead of the handler showing a box in the middle of the load.
struct HandlerErrorDeferral {
    static inline bool active = false;
    static inline std::exception_ptr pending;
    static void rethrowPending();
};
