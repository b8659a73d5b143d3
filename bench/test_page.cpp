// The "Demo and Test" page: its initialisation, the connection supervisor, the COM port
// scan, the firmware-version request and the close sequence.
#include "bench/test_page.h"

#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <thread>

#include "bench/ansi_text.h"
#include "bench/channel_traffic.h"
#include "bench/kit_search.h"
#include "bench/page_host.h"
#include "bench/send_box.h"
#include "bench/traffic_counter.h"
#include "bench/traffic_file_menu.h"
#include "bench/traffic_view.h"
#include "channel/board_commands.h"
#include "channel/byte_ring.h"
#include "channel/data_signal.h"
#include "hid/hid_link.h"
#include "platform/memory.h"
#include "res/dialog_template.h"
#include "serial/serial_link.h"

namespace {

constexpr int PAGE_TEMPLATE = 130;
constexpr int FLASHING_BUTTON = 1002;
constexpr int STOP_BUTTON = 1003;
constexpr int USB_SEND_BOX = 1005;
constexpr int USB_SEND_BUTTON = 1006;
constexpr int USB_CLEAR_BUTTON = 1007;
constexpr int RS232_SEND_BUTTON = 1009;
constexpr int RS232_CLEAR_BUTTON = 1010;
constexpr int RS232_SEND_BOX = 1011;
constexpr int USB_VIEW = 1013;
constexpr int RS232_VIEW = 1014;

// Where each channel's byte counts stand: right of its Clear button, in the group box's free
// corner, so they cover none of the page's controls (dialog units).
constexpr QRect USB_COUNTER_UNITS(176, 99, 116, 10);
constexpr QRect RS232_COUNTER_UNITS(175, 198, 117, 10);

const char* const LINE_SETTINGS = " : 19200,8,N,1,fN";

// The window's panes, through its host.
void SetStatusPane(int pane, const std::string& text) {
    if (IPageHost* host = PageHost()) {
        host->SetStatusPane(pane, text);
    }
}

void SetStatusPaneToolTip(int pane, const std::string& text) {
    if (IPageHost* host = PageHost()) {
        host->SetStatusPaneToolTip(pane, text);
    }
}

}  // namespace

CTestPage::CTestPage(QWidget* parent, const platform::Platform& platform)
    : QWidget(parent), platform(platform) {
    // The serial link reports through the filter, so the RS232 worker can keep a failing
    // read's repeats quiet.
    rs232Boxes = std::make_unique<CWorkerBoxFilter>(platform.messageBoxes);
    serialPlatform = platform;
    serialPlatform.messageBoxes = rs232Boxes.get();

    controls = BuildDialog(PAGE_TEMPLATE, *this,
                           [](const DialogControl& control, QWidget* parentWidget) -> QWidget* {
                               if (control.id == USB_VIEW || control.id == RS232_VIEW) {
                                   return new TrafficView(parentWidget);
                               }
                               if (control.id == USB_SEND_BOX || control.id == RS232_SEND_BOX) {
                                   return new CSendBox(parentWidget);
                               }
                               return nullptr;
                           });

    // Data exchange: bind the controls, in the page's order.
    rs232View = Bind<TrafficView>(RS232_VIEW);
    usbView = Bind<TrafficView>(USB_VIEW);
    // Save and log entries in each view's menu; their boxes are the page's.
    const auto showBox = [this](const std::string& text, const std::string& caption) {
        ShowBox(text, caption);
    };
    new CTrafficFileMenu(*usbView, QStringLiteral("usb"), showBox);
    new CTrafficFileMenu(*rs232View, QStringLiteral("rs232"), showBox);
    flashingButton = Bind<QRadioButton>(FLASHING_BUTTON);
    rs232SendBox = Bind<CSendBox>(RS232_SEND_BOX);
    usbSendBox = Bind<CSendBox>(USB_SEND_BOX);
    // What is sent is what the user sees: a send buffer holds 64 bytes.
    rs232SendBox->SetLimit(SEND_BUFFER_SIZE);
    usbSendBox->SetLimit(SEND_BUFFER_SIZE);
    rs232SendBox->OfferLineEnd(true);
    for (CSendBox* box : {rs232SendBox, usbSendBox}) {
        connect(box, &CSendBox::Refused, this,
                [this](const QString& problem) { ShowBox(problem.toStdString(), "Warning"); });
    }
    rs232SendBox->setText(TextFromAnsi(rs232SendText));
    usbSendBox->setText(TextFromAnsi(usbSendText));

    // The LED pair is a tab stop, as each of its neighbours is: without one a keyboard could
    // not reach it. The arrows choose between the two.
    for (const int id : {FLASHING_BUTTON, STOP_BUTTON}) {
        Bind<QRadioButton>(id)->setFocusPolicy(Qt::StrongFocus);
    }
    connect(flashingButton, &QAbstractButton::clicked, this, &CTestPage::OnLedFlashing);
    connect(Bind<QRadioButton>(STOP_BUTTON), &QAbstractButton::clicked, this,
            &CTestPage::OnLedStop);
    connect(Bind<QPushButton>(USB_SEND_BUTTON), &QAbstractButton::clicked, this,
            &CTestPage::OnUsbSend);
    connect(Bind<QPushButton>(RS232_SEND_BUTTON), &QAbstractButton::clicked, this,
            &CTestPage::OnRs232Send);
    connect(Bind<QPushButton>(USB_CLEAR_BUTTON), &QAbstractButton::clicked, this,
            &CTestPage::OnUsbClear);
    connect(Bind<QPushButton>(RS232_CLEAR_BUTTON), &QAbstractButton::clicked, this,
            &CTestPage::OnRs232Clear);

    const DialogTemplate& layout = LoadDialogTemplate(PAGE_TEMPLATE);
    usbCounter = new CTrafficCounter(this);
    rs232Counter = new CTrafficCounter(this);
    usbCounter->setGeometry(DialogUnitsToPixels(layout, USB_COUNTER_UNITS));
    rs232Counter->setGeometry(DialogUnitsToPixels(layout, RS232_COUNTER_UNITS));
    for (CTrafficCounter* counter : {usbCounter, rs232Counter}) {
        counter->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    }
    usbCounter->SetChannelName(QStringLiteral("USB"));
    rs232Counter->SetChannelName(QStringLiteral("RS232"));
    NameControlsForScreenReaders();
    usbTraffic = std::make_unique<CChannelTraffic>(usbView, usbCounter);
    rs232Traffic = std::make_unique<CChannelTraffic>(rs232View, rs232Counter);
    // Posted to the page, which stops the sender before it goes; Qt drops a call still queued
    // for a deleted page.
    rs232Sender = std::make_unique<CRs232Sender>([this](size_t count, bool sent) {
        QMetaObject::invokeMethod(
            this, [this, count, sent] { OnRs232Sent(count, sent); }, Qt::QueuedConnection);
    });

    // Selected at start; nothing is sent to the board.
    flashingButton->setChecked(true);

    kitSeen = 0;
    firstTickDone = 0;
    kitPresent = 0;
    if (platform.hid != nullptr) {
        g_hidLink = new CHidLink(*platform.hid);
    }
    StartUsbWorker();

    supervisorTimer.setSingleShot(true);
    versionPollTimer.setSingleShot(true);
    connect(&supervisorTimer, &QTimer::timeout, this, [this] { OnTimer(SUPERVISOR_TIMER); });
    connect(&versionPollTimer, &QTimer::timeout, this, [this] { OnTimer(VERSION_POLL_TIMER); });
    supervisorTimer.start(SUPERVISOR_FIRST_MS);
}

CTestPage::~CTestPage() {
    supervisorTimer.stop();
    versionPollTimer.stop();
    JoinComScan();
    StopUsbWorker();
    StopRs232Worker();
    // Sends not yet started are dropped; the one going out ends by its write time-out.
    rs232Sender->Stop();
    delete g_serialLink;
    g_serialLink = nullptr;
    delete g_hidLink;
    g_hidLink = nullptr;
}

void CTestPage::NameControlsForScreenReaders() {
    // The page shows each channel's controls side by side in a frame a screen reader does not
    // read out: "Send" alone would not say which channel. Each name keeps the control's own
    // text, so a user who says or hears that text finds the control.
    const std::pair<int, QString> names[] = {
        {FLASHING_BUTTON, tr("LED Flashing")},         {STOP_BUTTON, tr("LED Stop")},
        {USB_SEND_BOX, tr("Text to send on USB")},     {USB_SEND_BUTTON, tr("Send on USB")},
        {USB_CLEAR_BUTTON, tr("Clear USB")},           {USB_VIEW, tr("Received Data From USB")},
        {RS232_SEND_BOX, tr("Text to send on RS232")}, {RS232_SEND_BUTTON, tr("Send on RS232")},
        {RS232_CLEAR_BUTTON, tr("Clear RS232")},       {RS232_VIEW, tr("Received Data From RS232")},
    };
    for (const auto& [id, name] : names) {
        if (QWidget* control = Control(id)) {
            control->setAccessibleName(name);
        }
    }
}

template <class Widget>
Widget* CTestPage::Bind(int id) {
    auto found = controls.find(id);
    auto* widget = found != controls.end() ? qobject_cast<Widget*>(found->second) : nullptr;
    if (widget == nullptr) {
        // A template without the control still gives a working (if unplaced) page.
        widget = new Widget(this);
        controls[id] = widget;
    }
    return widget;
}

QWidget* CTestPage::Control(int id) const {
    auto found = controls.find(id);
    return found != controls.end() ? found->second : nullptr;
}

void CTestPage::ShowBox(const std::string& text, const std::string& caption) {
    if (platform.messageBoxes != nullptr) {
        platform.messageBoxes->ShowOwned(text, caption, this);
    }
}

void CTestPage::OnTimer(int timerId) {
    if (timerId == SUPERVISOR_TIMER) {
        OnSupervisorTick();
    } else {
        OnVersionPoll();
    }
}

void CTestPage::OnSupervisorTick() {
    // Stopped for the whole tick, so ticks never overlap while a notice or box is open.
    supervisorTimer.stop();
    QPointer<CTestPage> self(this);

    const bool found = g_hidLink != nullptr && g_hidLink->EnsureOpen() != 0;
    // The Kit is there but cannot be used (no access, say): that gets its own message.
    const std::string refused = found || g_hidLink == nullptr ? "" : g_hidLink->LastRefusal().path;
    if (found) {
        kitSeen = 1;
        if (kitPresent == 0) {
            RequestFirmwareVersion();
            // The last connection's threads have ended: what they freed goes back.
            platform::ReturnFreedMemory();
        }
        kitPresent = 1;
    } else if (kitSeen != 0 && kitPresent != 0) {
        ShowNotice("The KIT is unpluged or reset!");
        if (self == nullptr) {
            return;
        }
        SetStatusPane(2, "Firmware Version: N/A");
        kitPresent = 0;
    } else if (kitSeen == 0 && firstTickDone == 0) {
        if (refused.empty()) {
            ShowNotice("The KIT is not detected !");
            if (self == nullptr) {
                return;
            }
        }
        SetStatusPane(2, "Firmware Version: N/A");
    }
    if (refused != refusalShown) {
        // Once per episode: until the Kit opens or its node goes away.
        refusalShown = refused;
        if (!refused.empty()) {
            ShowRefusal(g_hidLink->LastRefusal());
            if (self == nullptr) {
                return;
            }
        }
    }

    if (firstTickDone == 0) {
        StartComScan(false);
        return;  // the scan ends the tick
    }
    if (rs232Control.portGone.load() != 0) {
        CloseGonePort();
    } else if (comPortLost != 0) {
        // As at start, but quietly: the port's loss was this episode's one box.
        StartComScan(true);
        return;
    }
    EndSupervisorTick();
}

void CTestPage::EndSupervisorTick() {
    firstTickDone = 1;
    ++supervisorTicks;
    supervisorTimer.start(SUPERVISOR_PERIOD_MS);
}

void CTestPage::ShowRefusal(const CHidLink::Refusal& refusal) {
    ShowBox(RefusalText(refusal), "Error");
}

void CTestPage::ShowNotice(const std::string& text) {
    if (IPageHost* host = PageHost()) {
        host->ShowNotice(text);
    }
}

void CTestPage::ShowComPort(const std::string& port) {
    if (!port.empty()) {
        platform::ReturnFreedMemory();  // as for the Kit: the lost line's worker has ended
        SetStatusPane(0, "Connected");
        SetStatusPane(1, port + LINE_SETTINGS);
        // Kept: once the port has gone, its name may stand for no device.
        comPortPath = platform.serialPorts != nullptr ? platform.serialPorts->DevicePath(port) : "";
        SetStatusPaneToolTip(1, comPortPath);
    } else {
        SetStatusPane(0, "Disconnected");
        SetStatusPane(1, "COM port is not available !");
        SetStatusPaneToolTip(1, "");
    }
}

void CTestPage::OnComPortGone() {
    // The worker has ended; the page thread is the only user of the link left.
    StopRs232Worker();
    rs232Control.link.store(nullptr);
    rs232Control.portGone.store(0);
    const std::string port = g_serialLink->Settings().portName;
    delete g_serialLink;
    g_serialLink = nullptr;
    comPortLost = 1;
    ShowComPort("");
    const std::string text = PortLostText(port, comPortPath);
    // Posted: while the user reads it the ticks go on looking for the port, and the tick
    // that may have called this is over by then.
    QTimer::singleShot(0, this, [this, text] { ShowBox(text, "Error"); });
}

void CTestPage::CloseGonePort() {
    // While the sender holds the link, its OnRs232Sent (or a later tick) closes the port.
    if (rs232Control.portGone.load() != 0 && rs232Sender->Idle() && g_serialLink != nullptr) {
        OnComPortGone();
    }
}

struct CTestPage::ComScan {
    bool quiet = false;
    ComScanResult result;
};

void CTestPage::StartComScan(bool quiet) {
    auto scan = std::make_shared<ComScan>();
    scan->quiet = quiet;
    comScanThread = std::make_unique<std::thread>([this, scan] {
        scan->result = ScanComPorts(serialPlatform.boardPorts, serialPlatform);
        // Posted to the page; a page deleted meanwhile has joined this thread, and Qt drops
        // the call with the page, which drops the result and closes the port with its link.
        QMetaObject::invokeMethod(
            this, [this, scan] { FinishComScan(scan); }, Qt::QueuedConnection);
    });
}

void CTestPage::JoinComScan() {
    // A scan ends by itself: each open the system bounds, and its boxes wait for no one.
    if (comScanThread != nullptr && comScanThread->joinable()) {
        comScanThread->join();
    }
    comScanThread.reset();
}

void CTestPage::FinishComScan(const std::shared_ptr<ComScan>& scan) {
    JoinComScan();  // it has posted this as its last deed
    QPointer<CTestPage> self(this);
    if (!scan->quiet) {
        for (const auto& [text, caption] : scan->result.boxes) {
            rs232Boxes->Show(text, caption);
            if (self == nullptr) {
                return;
            }
        }
    }
    if (scan->result.link != nullptr) {
        g_serialLink = scan->result.link.release();
        rs232Control.link.store(g_serialLink);
        StartRs232Worker();
        comPortLost = 0;
        ShowComPort(scan->result.port);
    } else if (!scan->quiet) {
        ShowBox("No free COM port is available !", "Warning");
        if (self == nullptr) {
            return;
        }
        ShowComPort("");
    }
    EndSupervisorTick();
}

void CTestPage::RequestFirmwareVersion() {
    // The reply is the first bytes that arrive after the request.
    receiveRing.Reset();
    if (g_hidLink != nullptr) {
        g_hidLink->SendBytes(sizeof VERSION_REQUEST, VERSION_REQUEST);
    }
    versionPollTimer.start(VERSION_POLL_MS);
    versionLength = VERSION_LENGTH;
}

void CTestPage::OnVersionPoll() {
    if (receiveRing.Count() >= versionLength) {
        versionPollTimer.stop();
        ShowFirmwareVersion();
    } else {
        versionPollTimer.start(VERSION_POLL_MS);
    }
}

void CTestPage::ShowFirmwareVersion() {
    uint8_t reply[VERSION_LENGTH + 1] = {};
    int taken = 0;
    while (taken < versionLength && taken < VERSION_LENGTH) {
        // Count said the bytes are there; a refusal only means a worker is inside the ring
        // for a moment.
        if (receiveRing.Get(reply[taken]) != 0) {
            ++taken;
        } else {
            std::this_thread::yield();
        }
    }
    reply[taken] = 0;
    // Read as zero-terminated ANSI text: a zero byte among the five ends it there.
    const std::string text(reinterpret_cast<const char*>(reply));
    SetStatusPane(2, "Firmware Version: " + text);
}

void CTestPage::StartUsbWorker() {
    usbControl.stopRequested.store(0);
    usbControl.running.store(1);
    usbControl.sink.store(usbTraffic.get());
    usbControl.dataSignal = &usbRxSignal;
    usbThread = std::make_unique<std::thread>(UsbWorker, std::ref(usbControl));
}

void CTestPage::StopUsbWorker() {
    usbControl.RequestStop();
    if (usbThread != nullptr && usbThread->joinable()) {
        usbThread->join();
    }
    usbThread.reset();
    usbControl.running.store(0);
}

void CTestPage::StartRs232Worker() {
    rs232Control.stopRequested.store(0);
    rs232Control.running.store(1);
    rs232Control.sink.store(rs232Traffic.get());
    // Posted to the page, which joins the worker before it goes; Qt drops a call still
    // queued for a deleted page.
    rs232Control.onPortGone = [this] {
        QMetaObject::invokeMethod(
            this, [this] { CloseGonePort(); }, Qt::QueuedConnection);
    };
    rs232Thread = std::make_unique<std::thread>(Rs232Worker, std::ref(rs232Control));
}

void CTestPage::StopRs232Worker() {
    if (rs232Thread == nullptr) {
        return;  // no COM port was ever opened
    }
    rs232Control.RequestStop();
    if (rs232Thread->joinable()) {
        rs232Thread->join();
    }
    rs232Thread.reset();
    rs232Control.running.store(0);
}
