// The "Simulated Kit" window of palvex-sim: shows the board's state and what it received,
// lets the user plug and unplug it, hold it silent, stall its OUT endpoint, lock its USB
// node, choose its version reply, make it send text or a stream on either channel, and
// start the test page again from chosen start states.
#pragma once

#include <QTimer>
#include <QWidget>
#include <array>
#include <atomic>
#include <functional>
#include <memory>

class CSimKit;
class CSimStream;
class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QSpinBox;

class CSimWindow : public QWidget {
    Q_OBJECT
  public:
    static constexpr int COM_PORT_COUNT = 4;
    // Bytes of each channel the board's received views show, the latest last.
    static constexpr size_t RECEIVED_SHOWN = 512;
    // Least time between two fills of the received views, so a fast stream costs the GUI
    // thread little.
    static constexpr int VIEW_REFRESH_MS = 100;

    // Starts the test page again; `whileStopped` must run while no page exists. Returns
    // true when it ran at once, false when it waits for an open box or notice to close.
    using Restarter = std::function<bool(std::function<void()> whileStopped)>;

    // The kit must outlive the window. The start states show the kit's state as it is now.
    explicit CSimWindow(CSimKit& kit, QWidget* parent = nullptr);
    ~CSimWindow() override;  // stops the stream and observing the kit before anything else

    // Without one, "Start the page again" stays disabled.
    void SetRestarter(Restarter restarter);
    // Sets the kit to the chosen start states: plugged, connected, COM port faults.
    void ApplyStartStates();

    // Reads the kit's state into the controls (GUI thread).
    void Refresh();

    QCheckBox* UsbSwitch() const { return usbSwitch; }
    QCheckBox* SerialSwitch() const { return serialSwitch; }
    QCheckBox* SilentSwitch() const { return silentSwitch; }
    QCheckBox* StallSwitch() const { return stallSwitch; }
    QCheckBox* LockSwitch() const { return lockSwitch; }
    QLabel* LedLabel() const { return ledLabel; }
    QLabel* CommandsLabel() const { return commandsLabel; }
    QLineEdit* SendBox() const { return sendBox; }
    QPushButton* SendUsbButton() const { return sendUsbButton; }
    QPushButton* SendSerialButton() const { return sendSerialButton; }
    QLineEdit* VersionBox() const { return versionBox; }
    QComboBox* ReplyBox() const { return replyBox; }
    QCheckBox* StartUsbBox() const { return startUsbBox; }
    QCheckBox* StartSerialBox() const { return startSerialBox; }
    QComboBox* PortFaultBox(int index) const { return portFaultBoxes[static_cast<size_t>(index)]; }
    QPushButton* RestartButton() const { return restartButton; }
    QLabel* RestartNote() const { return restartNote; }
    QComboBox* StreamChannelBox() const { return streamChannelBox; }
    QSpinBox* StreamCountBox() const { return streamCountBox; }
    QSpinBox* StreamRateBox() const { return streamRateBox; }
    QCheckBox* LineEndsBox() const { return lineEndsBox; }
    QPushButton* StreamButton() const { return streamButton; }
    QLabel* StreamLabel() const { return streamLabel; }
    QCheckBox* HexBox() const { return hexBox; }
    QPlainTextEdit* UsbReceivedView() const { return usbReceivedView; }
    QPlainTextEdit* SerialReceivedView() const { return serialReceivedView; }
    CSimStream& Stream() const { return *stream; }

  private:
    QWidget* BuildLiveControls();
    QWidget* BuildStartStates();
    QWidget* BuildStreamControls();
    QWidget* BuildReceived();
    void OnStreamButton();
    void RefreshStream();
    void RefreshViews();

    CSimKit& kit;
    std::unique_ptr<CSimStream> stream;
    Restarter restarter;
    QLabel* ledLabel = nullptr;
    QLabel* versionLabel = nullptr;
    QLabel* countersLabel = nullptr;
    QLabel* commandsLabel = nullptr;
    QCheckBox* usbSwitch = nullptr;
    QCheckBox* serialSwitch = nullptr;
    QCheckBox* silentSwitch = nullptr;
    QCheckBox* stallSwitch = nullptr;
    QCheckBox* lockSwitch = nullptr;
    QLineEdit* sendBox = nullptr;
    QPushButton* sendUsbButton = nullptr;
    QPushButton* sendSerialButton = nullptr;
    QLineEdit* versionBox = nullptr;
    QComboBox* replyBox = nullptr;
    QCheckBox* startUsbBox = nullptr;
    QCheckBox* startSerialBox = nullptr;
    std::array<QComboBox*, COM_PORT_COUNT> portFaultBoxes{};
    QPushButton* restartButton = nullptr;
    QLabel* restartNote = nullptr;
    QComboBox* streamChannelBox = nullptr;
    QSpinBox* streamCountBox = nullptr;
    QSpinBox* streamRateBox = nullptr;
    QCheckBox* lineEndsBox = nullptr;
    QPushButton* streamButton = nullptr;
    QLabel* streamLabel = nullptr;
    QCheckBox* hexBox = nullptr;
    QPlainTextEdit* usbReceivedView = nullptr;
    QPlainTextEdit* serialReceivedView = nullptr;
    // Runs while a stream does, for its progress; a stream ends without telling anyone.
    QTimer streamTimer;
    // Spaces the fills of the received views; a change meanwhile fills them when it fires.
    QTimer viewTimer;
    bool viewsStale = false;
    // Set by the kit's observer on any thread, cleared by Refresh: at most one refresh waits
    // in the event queue however fast the kit changes.
    std::atomic<bool> refreshPending{false};
};
