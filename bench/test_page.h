// The "Demo and Test" page: watches for the Kit, finds its serial port, asks for the firmware
// version, runs the two channel workers and hosts the page's six commands.
#pragma once

#include <QTimer>
#include <QWidget>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <thread>

#include "bench/channel_workers.h"
#include "bench/rs232_sender.h"
#include "hid/hid_link.h"
#include "platform/platform.h"

class CChannelTraffic;
class CSendBox;
class CSerialLink;
class CTrafficCounter;
class QRadioButton;
class TrafficView;

// Timer ids of the page.
inline constexpr int SUPERVISOR_TIMER = 1002;
inline constexpr int VERSION_POLL_TIMER = 1003;
inline constexpr int SUPERVISOR_FIRST_MS = 500;
inline constexpr int SUPERVISOR_PERIOD_MS = 1000;
inline constexpr int VERSION_POLL_MS = 30;
// The send boxes hold what fits one send buffer.
inline constexpr int SEND_BUFFER_SIZE = 64;

class CTestPage : public QWidget {
    Q_OBJECT
  public:
    // Builds template 130 and does the page's initialisation: creates g_hidLink, starts the
    // USB worker and arms the supervisor (500 ms).
    CTestPage(QWidget* parent, const platform::Platform& platform);
    // Stops the USB worker, then the RS232 worker, deletes g_serialLink, then g_hidLink.
    ~CTestPage() override;

    // Timer dispatch: the supervisor for SUPERVISOR_TIMER, the version poll for any other id.
    void OnTimer(int timerId);

    void RequestFirmwareVersion();
    void ShowFirmwareVersion();

    // Page commands (button handlers).
    void OnLedFlashing();
    void OnLedStop();
    void OnUsbSend();
    void OnRs232Send();
    void OnUsbClear();
    void OnRs232Clear();

    // The control with this template id, or null.
    QWidget* Control(int id) const;
    TrafficView& UsbView() const { return *usbView; }
    TrafficView& Rs232View() const { return *rs232View; }
    CTrafficCounter& UsbCounter() const { return *usbCounter; }
    CTrafficCounter& Rs232Counter() const { return *rs232Counter; }
    bool KitSeen() const { return kitSeen != 0; }
    bool KitPresent() const { return kitPresent != 0; }
    bool FirstTickDone() const { return firstTickDone != 0; }
    // A COM port scan is running on its own thread.
    bool ComScanRunning() const { return comScanThread != nullptr; }
    // Supervisor ticks finished so far.
    int SupervisorTicks() const { return supervisorTicks; }

  private:
    template <class Widget>
    Widget* Bind(int id);
    void NameControlsForScreenReaders();
    // Data exchange from a send box into its member: the bytes a Send carries, line end
    // included, and in `entry` the box's own bytes for its history. False, after a box that
    // says why, when they cannot be sent.
    bool TakeSendText(const CSendBox& box, std::string& text, std::string& entry);
    // A box owned by the page.
    void ShowBox(const std::string& text, const std::string& caption);
    void OnSupervisorTick();
    void OnVersionPoll();
    void ShowNotice(const std::string& text);
    void ShowRefusal(const CHidLink::Refusal& refusal);
    void StartUsbWorker();
    void StopUsbWorker();
    void StartRs232Worker();
    void StopRs232Worker();
    // Panes 0 and 1 for the port that opened, or for none ("").
    void ShowComPort(const std::string& port);
    // What one scan of the board ports came to: the port that opened with its link, or none,
    // and the boxes the failed opens asked for, held until the scan is over.
    struct ComScan;
    // Tries the board ports (COM1..COM4 unless the user named one) with the board's line
    // settings on a thread of its own, since opening a port can block for seconds (an
    // outgoing Bluetooth port); FinishComScan takes the result
    // on the page's thread and ends the supervisor's tick. Quiet, it shows no box.
    void StartComScan(bool quiet);
    void FinishComScan(const std::shared_ptr<ComScan>& scan);
    void JoinComScan();
    // The supervisor's tick is over: the next one in a second.
    void EndSupervisorTick();
    // Closes a port that has gone and says so in a box; later ticks look for one again,
    // also while the box is open.
    void OnComPortGone();
    // OnComPortGone once the worker has met the port gone and no Send holds the link.
    void CloseGonePort();
    // A Send's block has left the sender: counted when sent, and the link is free again.
    void OnRs232Sent(size_t count, bool sent);

    // Copied so the serial link's reference to it lives as long as the page.
    const platform::Platform platform;
    std::map<int, QWidget*> controls;
    TrafficView* rs232View = nullptr;        // control 1014
    TrafficView* usbView = nullptr;          // control 1013
    QRadioButton* flashingButton = nullptr;  // control 1002
    CSendBox* rs232SendBox = nullptr;        // edit 1011
    CSendBox* usbSendBox = nullptr;          // edit 1005
    CTrafficCounter* usbCounter = nullptr;
    CTrafficCounter* rs232Counter = nullptr;
    std::string rs232SendText = "Welcome";
    std::string usbSendText = "USB";
    uint8_t kitSeen = 0;
    uint8_t firstTickDone = 0;
    uint8_t kitPresent = 0;
    uint8_t comPortLost = 0;  // a port went away and none has opened since
    std::string comPortPath;  // the device behind the open port when it opened
    int32_t versionLength = 0;
    int supervisorTicks = 0;
    // The Kit's node last reported as unusable; empty once it opened or went away.
    std::string refusalShown;
    QTimer supervisorTimer;   // SUPERVISOR_TIMER, single shot
    QTimer versionPollTimer;  // VERSION_POLL_TIMER, single shot
    // What the workers take from the links goes to the views and counters through these.
    std::unique_ptr<CChannelTraffic> usbTraffic;
    std::unique_ptr<CChannelTraffic> rs232Traffic;
    WorkerControl usbControl;
    WorkerControl rs232Control;
    std::unique_ptr<std::thread> usbThread;
    std::unique_ptr<std::thread> rs232Thread;
    std::unique_ptr<std::thread> comScanThread;
    // Writes the RS232 Sends, so the page's thread never waits for the line to drain.
    std::unique_ptr<CRs232Sender> rs232Sender;
    // The serial link reports through this; it keeps a failing read's repeats quiet.
    std::unique_ptr<CWorkerBoxFilter> rs232Boxes;
    platform::Platform serialPlatform;
};
