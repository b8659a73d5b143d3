// The "Simulated Kit" window of palvex-sim: shows the board's state and lets the user plug
// and unplug it, hold it silent, stall its OUT endpoint, lock its USB node and make it send
// text on either channel.
#pragma once

#include <QWidget>
#include <atomic>

class CSimKit;
class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;

class CSimWindow : public QWidget {
    Q_OBJECT
  public:
    // The kit must outlive the window.
    explicit CSimWindow(CSimKit& kit, QWidget* parent = nullptr);
    ~CSimWindow() override;  // stops observing the kit before anything else goes

    // Reads the kit's state into the controls (GUI thread).
    void Refresh();

    QCheckBox* UsbSwitch() const { return usbSwitch; }
    QCheckBox* SerialSwitch() const { return serialSwitch; }
    QCheckBox* SilentSwitch() const { return silentSwitch; }
    QCheckBox* StallSwitch() const { return stallSwitch; }
    QCheckBox* LockSwitch() const { return lockSwitch; }
    QLabel* LedLabel() const { return ledLabel; }
    QLineEdit* SendBox() const { return sendBox; }
    QPushButton* SendUsbButton() const { return sendUsbButton; }
    QPushButton* SendSerialButton() const { return sendSerialButton; }

  private:
    CSimKit& kit;
    QLabel* ledLabel = nullptr;
    QLabel* versionLabel = nullptr;
    QLabel* countersLabel = nullptr;
    QCheckBox* usbSwitch = nullptr;
    QCheckBox* serialSwitch = nullptr;
    QCheckBox* silentSwitch = nullptr;
    QCheckBox* stallSwitch = nullptr;
    QCheckBox* lockSwitch = nullptr;
    QLineEdit* sendBox = nullptr;
    QPushButton* sendUsbButton = nullptr;
    QPushButton* sendSerialButton = nullptr;
    // Set by the kit's observer on any thread, cleared by Refresh: at most one refresh waits
    // in the event queue however fast the kit changes.
    std::atomic<bool> refreshPending{false};
};
