// The "Simulated Kit" window of palvex-sim: the board's live switches and state, its version
// reply, what it received, a stream of its own, and the test page's start states.
#include "app/sim_window.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QTabWidget>
#include <QTime>
#include <QVBoxLayout>
#include <cstdint>
#include <string>
#include <vector>

#include "bench/ansi_text.h"
#include "res/fixed_font.h"
#include "sim/sim_kit.h"
#include "sim/sim_stream.h"

namespace {

constexpr int HEX_ROW = 16;
constexpr int STREAM_POLL_MS = 200;
constexpr int MAX_STREAM_BYTES = 100000000;
constexpr int MAX_STREAM_RATE = 1000000;  // bytes per second, 50 times the serial line's
const char* const COM_NAMES[CSimWindow::COM_PORT_COUNT] = {"COM1", "COM2", "COM3", "COM4"};

// The board's text is single-byte ANSI, as the page reads it: each character goes as one byte.
std::vector<uint8_t> ToBytes(const QString& text) {
    const std::string bytes = AnsiFromText(text);
    return std::vector<uint8_t>(bytes.begin(), bytes.end());
}

QChar Shown(uint8_t byte) {
    return byte < 0x20 || byte == 0x7F ? QChar(u'.') : CharFromAnsi(byte);
}

// As text, line ends break the lines and other control bytes show as dots; as hex, rows of
// 16 bytes with their offset in what is shown and their characters.
QString Format(const std::vector<uint8_t>& bytes, bool hex) {
    QString text;
    if (!hex) {
        for (size_t i = 0; i < bytes.size(); ++i) {
            if (bytes[i] == '\n') {
                text += u'\n';
            } else if (bytes[i] != '\r' || (i + 1 < bytes.size() && bytes[i + 1] != '\n')) {
                text += Shown(bytes[i]);
            }
        }
        return text;
    }
    for (size_t row = 0; row < bytes.size(); row += HEX_ROW) {
        QString hexPart;
        QString charPart;
        for (size_t i = row; i < row + HEX_ROW; ++i) {
            hexPart += i < bytes.size() ? QStringLiteral("%1 ").arg(static_cast<uint>(bytes[i]), 2,
                                                                    16, QChar(u'0'))
                                        : QStringLiteral("   ");
            if (i < bytes.size()) {
                charPart += Shown(bytes[i]);
            }
        }
        text += QStringLiteral("%1  %2 %3\n")
                    .arg(row, 4, 16, QChar(u'0'))
                    .arg(hexPart.toUpper(), charPart);
    }
    return text;
}

QString CommandName(sim::Taken taken) {
    switch (taken) {
        case sim::Taken::VERSION_REQUEST:
            return QStringLiteral("version request");
        case sim::Taken::LED_FLASHING:
            return QStringLiteral("LED flashing");
        case sim::Taken::LED_STOP:
            return QStringLiteral("LED stop");
        case sim::Taken::CLOSE_COMMAND:
            return QStringLiteral("close");
        default:
            return QString();
    }
}

}  // namespace

CSimWindow::CSimWindow(CSimKit& simKit, QWidget* parent)
    : QWidget(parent, Qt::Window), kit(simKit), stream(std::make_unique<CSimStream>(simKit)) {
    setObjectName(QStringLiteral("simWindow"));
    setWindowTitle(QStringLiteral("Simulated Kit"));

    // Two columns, small enough to sit beside the main window: the board as it is now on
    // the left, the page's start states, the stream and what the board received on the right.
    auto* layout = new QHBoxLayout(this);
    auto* left = new QVBoxLayout;
    auto* right = new QVBoxLayout;
    left->addWidget(BuildLiveControls());
    left->addStretch(1);
    right->addWidget(BuildStartStates());
    right->addWidget(BuildStreamControls());
    right->addWidget(BuildReceived(), 1);
    layout->addLayout(left);
    layout->addLayout(right, 1);

    streamTimer.setInterval(STREAM_POLL_MS);
    connect(&streamTimer, &QTimer::timeout, this, &CSimWindow::RefreshStream);
    viewTimer.setSingleShot(true);
    viewTimer.setInterval(VIEW_REFRESH_MS);
    connect(&viewTimer, &QTimer::timeout, this, [this] {
        if (viewsStale) {
            RefreshViews();
        }
    });

    kit.SetObserver([this] {
        if (!refreshPending.exchange(true)) {
            QMetaObject::invokeMethod(this, &CSimWindow::Refresh, Qt::QueuedConnection);
        }
    });
    Refresh();
}

CSimWindow::~CSimWindow() {
    // The stream's thread ends first; once SetObserver returns no observer call runs any
    // more, and refreshes already queued die with this object.
    stream.reset();
    kit.SetObserver(nullptr);
}

QWidget* CSimWindow::BuildLiveControls() {
    auto* column = new QWidget(this);
    auto* layout = new QVBoxLayout(column);
    layout->setContentsMargins(0, 0, 0, 0);

    // The switches come first, at the window's top left, where they are easiest to reach.
    auto* switchBox = new QGroupBox(QStringLiteral("Connections"), column);
    auto* switchLayout = new QVBoxLayout(switchBox);
    usbSwitch = new QCheckBox(QStringLiteral("USB plugged in"), switchBox);
    serialSwitch = new QCheckBox(QStringLiteral("Serial line connected (COM1)"), switchBox);
    silentSwitch = new QCheckBox(QStringLiteral("Hold the board silent"), switchBox);
    stallSwitch = new QCheckBox(QStringLiteral("Stop reading USB output reports"), switchBox);
    lockSwitch = new QCheckBox(QStringLiteral("No access to the USB node"), switchBox);
    for (QCheckBox* box : {usbSwitch, serialSwitch, silentSwitch, stallSwitch, lockSwitch}) {
        switchLayout->addWidget(box);
    }
    layout->addWidget(switchBox);

    auto* stateBox = new QGroupBox(QStringLiteral("Board"), column);
    auto* stateLayout = new QVBoxLayout(stateBox);
    ledLabel = new QLabel(stateBox);
    versionLabel = new QLabel(stateBox);
    versionLabel->setTextFormat(Qt::PlainText);
    countersLabel = new QLabel(stateBox);
    commandsLabel = new QLabel(stateBox);
    commandsLabel->setWordWrap(true);
    auto* replyRow = new QHBoxLayout;
    versionBox = new QLineEdit(stateBox);
    versionBox->setMaxLength(5);
    versionBox->setMinimumWidth(
        versionBox->fontMetrics().horizontalAdvance(QStringLiteral("MMMMMM")));
    versionBox->setText(TextFromAnsi(kit.Version()));
    replyBox = new QComboBox(stateBox);
    replyBox->addItems({QStringLiteral("in full"), QStringLiteral("short (3)"),
                        QStringLiteral("long (9)"), QStringLiteral("not at all")});
    // The labels around the boxes are their names for a screen reader.
    auto* versionName = new QLabel(QStringLiteral("Version"), stateBox);
    versionName->setBuddy(versionBox);
    replyBox->setAccessibleName(QStringLiteral("Version answered"));
    replyRow->addWidget(versionName);
    replyRow->addWidget(versionBox);
    replyRow->addWidget(new QLabel(QStringLiteral("answered"), stateBox));
    replyRow->addWidget(replyBox, 1);
    stateLayout->addWidget(ledLabel);
    stateLayout->addWidget(versionLabel);
    stateLayout->addLayout(replyRow);
    stateLayout->addWidget(countersLabel);
    stateLayout->addWidget(commandsLabel);
    layout->addWidget(stateBox);

    auto* sendGroup = new QGroupBox(QStringLiteral("The board sends"), column);
    auto* sendLayout = new QVBoxLayout(sendGroup);
    sendBox = new QLineEdit(QStringLiteral("Hello"), sendGroup);
    sendBox->setAccessibleName(QStringLiteral("Text the board sends"));
    sendLayout->addWidget(sendBox);
    auto* buttons = new QHBoxLayout;
    sendUsbButton = new QPushButton(QStringLiteral("Send on USB"), sendGroup);
    sendSerialButton = new QPushButton(QStringLiteral("Send on serial"), sendGroup);
    buttons->addWidget(sendUsbButton);
    buttons->addWidget(sendSerialButton);
    sendLayout->addLayout(buttons);
    layout->addWidget(sendGroup);

    // toggled, as a click, a key and a screen reader's toggle action all change a switch;
    // Refresh sets the boxes with their signals blocked, so it sends nothing back.
    connect(usbSwitch, &QCheckBox::toggled, this, [this](bool on) { kit.PlugUsb(on); });
    connect(serialSwitch, &QCheckBox::toggled, this, [this](bool on) { kit.ConnectSerial(on); });
    connect(silentSwitch, &QCheckBox::toggled, this, [this](bool on) { kit.SetSilent(on); });
    connect(stallSwitch, &QCheckBox::toggled, this, [this](bool on) { kit.SetOutStalled(on); });
    connect(lockSwitch, &QCheckBox::toggled, this, [this](bool on) { kit.SetUsbAccessDenied(on); });
    connect(versionBox, &QLineEdit::editingFinished, this,
            [this] { kit.SetVersion(AnsiFromText(versionBox->text())); });
    connect(replyBox, &QComboBox::activated, this,
            [this](int index) { kit.SetVersionReply(static_cast<sim::VersionReply>(index)); });
    // The kit paces USB sends to a reader that lags; a typed text is a few reports only,
    // so these calls return at once in practice.
    connect(sendUsbButton, &QPushButton::clicked, this,
            [this] { kit.SendUsb(ToBytes(sendBox->text())); });
    connect(sendSerialButton, &QPushButton::clicked, this,
            [this] { kit.SendSerial(ToBytes(sendBox->text())); });
    return column;
}

QWidget* CSimWindow::BuildStartStates() {
    auto* group = new QGroupBox(QStringLiteral("Start states of the Demo and Test page"), this);
    auto* layout = new QVBoxLayout(group);
    auto* plugs = new QHBoxLayout;
    startUsbBox = new QCheckBox(QStringLiteral("Kit plugged in"), group);
    startSerialBox = new QCheckBox(QStringLiteral("Serial line connected"), group);
    startUsbBox->setChecked(kit.UsbPlugged());
    startSerialBox->setChecked(kit.SerialConnected());
    plugs->addWidget(startUsbBox);
    plugs->addWidget(startSerialBox);
    plugs->addStretch(1);
    layout->addLayout(plugs);

    // Two ports a row keeps the window narrow enough to sit beside the main window.
    auto* ports = new QGridLayout;
    for (int i = 0; i < COM_PORT_COUNT; ++i) {
        auto* box = new QComboBox(group);
        // The index is the sim's fault: none, busy, locked.
        box->addItems({i == 0 ? QStringLiteral("Kit's line") : QStringLiteral("missing"),
                       QStringLiteral("busy"), QStringLiteral("no access")});
        box->setCurrentIndex(static_cast<int>(kit.GetPortFault(COM_NAMES[i])));
        portFaultBoxes[static_cast<size_t>(i)] = box;
        auto* name = new QLabel(QString::fromLatin1(COM_NAMES[i]), group);
        name->setBuddy(box);
        ports->addWidget(name, i / 2, (i % 2) * 2);
        ports->addWidget(box, i / 2, (i % 2) * 2 + 1);
    }
    ports->setColumnStretch(1, 1);
    ports->setColumnStretch(3, 1);
    layout->addLayout(ports);

    auto* restartRow = new QHBoxLayout;
    restartButton = new QPushButton(QStringLiteral("Start the page again"), group);
    restartButton->setEnabled(false);
    restartNote = new QLabel(group);
    restartNote->setWordWrap(true);
    restartRow->addWidget(restartButton);
    restartRow->addWidget(restartNote, 1);
    layout->addLayout(restartRow);

    connect(restartButton, &QPushButton::clicked, this, [this] {
        if (!restarter) {
            return;
        }
        const bool now = restarter([this] {
            ApplyStartStates();
            restartNote->setText(
                QStringLiteral("Started again at %1.")
                    .arg(QTime::currentTime().toString(QStringLiteral("HH:mm:ss"))));
        });
        if (!now) {
            restartNote->setText(
                QStringLiteral("Starts again once the open box or notice closes."));
        }
    });
    return group;
}

QWidget* CSimWindow::BuildStreamControls() {
    auto* group = new QGroupBox(QStringLiteral("The board streams"), this);
    auto* layout = new QFormLayout(group);
    streamChannelBox = new QComboBox(group);
    streamChannelBox->addItems({QStringLiteral("USB"), QStringLiteral("serial")});
    streamCountBox = new QSpinBox(group);
    streamCountBox->setRange(1, MAX_STREAM_BYTES);
    streamCountBox->setValue(100000);
    streamCountBox->setSuffix(QStringLiteral(" bytes"));
    streamRateBox = new QSpinBox(group);
    streamRateBox->setRange(1, MAX_STREAM_RATE);
    streamRateBox->setValue(1920);  // the serial line's own rate
    streamRateBox->setSuffix(QStringLiteral(" bytes/s"));
    lineEndsBox = new QCheckBox(QStringLiteral("Lines end in CR LF"), group);
    lineEndsBox->setChecked(true);
    auto* row = new QHBoxLayout;
    streamButton = new QPushButton(QStringLiteral("Start"), group);
    streamLabel = new QLabel(group);
    streamLabel->setWordWrap(true);
    row->addWidget(streamButton);
    row->addWidget(streamLabel, 1);
    layout->addRow(QStringLiteral("Channel"), streamChannelBox);
    layout->addRow(QStringLiteral("Count"), streamCountBox);
    layout->addRow(QStringLiteral("Rate"), streamRateBox);
    layout->addRow(QString(), lineEndsBox);
    layout->addRow(row);
    connect(streamButton, &QPushButton::clicked, this, &CSimWindow::OnStreamButton);
    return group;
}

QWidget* CSimWindow::BuildReceived() {
    auto* group = new QGroupBox(QStringLiteral("The board received"), this);
    auto* layout = new QVBoxLayout(group);
    auto* echo = new QLabel(QStringLiteral("It echoes the data it gets (not its commands) on the "
                                           "channel it came in on, unless held silent."),
                            group);
    echo->setWordWrap(true);
    hexBox = new QCheckBox(QStringLiteral("Hex"), group);
    layout->addWidget(echo);
    layout->addWidget(hexBox);
    auto* tabs = new QTabWidget(group);
    const QFont fixed = FixedPitchFont();
    for (QPlainTextEdit** view : {&usbReceivedView, &serialReceivedView}) {
        *view = new QPlainTextEdit(tabs);
        (*view)->setReadOnly(true);
        (*view)->setFont(fixed);
        (*view)->setMinimumHeight(60);
        const bool usb = view == &usbReceivedView;
        tabs->addTab(*view, usb ? QStringLiteral("USB data reports") : QStringLiteral("Serial"));
        (*view)->setAccessibleName(usb ? QStringLiteral("USB data reports the board received")
                                       : QStringLiteral("Serial data the board received"));
    }
    layout->addWidget(tabs, 1);
    connect(hexBox, &QCheckBox::toggled, this, &CSimWindow::RefreshViews);
    return group;
}

void CSimWindow::SetRestarter(Restarter newRestarter) {
    restarter = std::move(newRestarter);
    restartButton->setEnabled(static_cast<bool>(restarter));
}

void CSimWindow::ApplyStartStates() {
    kit.PlugUsb(startUsbBox->isChecked());
    kit.ConnectSerial(startSerialBox->isChecked());
    for (int i = 0; i < COM_PORT_COUNT; ++i) {
        kit.SetPortFault(COM_NAMES[i], static_cast<sim::PortFault>(
                                           portFaultBoxes[static_cast<size_t>(i)]->currentIndex()));
    }
}

void CSimWindow::OnStreamButton() {
    if (stream->Running()) {
        stream->Stop();
    } else {
        stream->Start(streamChannelBox->currentIndex() == 0 ? CSimStream::Channel::USB
                                                            : CSimStream::Channel::SERIAL,
                      static_cast<uint64_t>(streamCountBox->value()),
                      static_cast<uint32_t>(streamRateBox->value()), lineEndsBox->isChecked());
        streamTimer.start();
    }
    RefreshStream();
}

void CSimWindow::RefreshStream() {
    const bool running = stream->Running();
    if (!running) {
        streamTimer.stop();
    }
    streamButton->setText(running ? QStringLiteral("Stop") : QStringLiteral("Start"));
    // What full queues dropped: USB input reports, serial bytes.
    streamLabel->setText(QStringLiteral("%1 of %2 bytes sent\nLost: %3 reports, %4 bytes")
                             .arg(stream->Sent())
                             .arg(streamCountBox->value())
                             .arg(kit.DroppedInputReports())
                             .arg(kit.DroppedSerialBytes()));
}

void CSimWindow::RefreshViews() {
    viewsStale = false;
    const bool hex = hexBox->isChecked();
    usbReceivedView->setPlainText(Format(kit.UsbDataTail(RECEIVED_SHOWN), hex));
    serialReceivedView->setPlainText(Format(kit.SerialTail(RECEIVED_SHOWN), hex));
    viewTimer.start();
}

void CSimWindow::Refresh() {
    refreshPending.store(false);
    ledLabel->setText(kit.LedFlashing() ? QStringLiteral("LED: flashing")
                                        : QStringLiteral("LED: stopped"));
    versionLabel->setText(QStringLiteral("Firmware version: %1").arg(TextFromAnsi(kit.Version())));
    replyBox->setCurrentIndex(static_cast<int>(kit.GetVersionReply()));
    countersLabel->setText(QStringLiteral("Version requests: %1   Close commands: %2")
                               .arg(kit.VersionRequests())
                               .arg(kit.CloseCommands()));
    QStringList names;
    for (sim::Taken taken : kit.Commands()) {
        names << CommandName(taken);
    }
    commandsLabel->setText(QStringLiteral("Latest commands: %1")
                               .arg(names.isEmpty() ? QStringLiteral("none") : names.join(u", ")));
    const std::pair<QCheckBox*, bool> switches[] = {{usbSwitch, kit.UsbPlugged()},
                                                    {serialSwitch, kit.SerialConnected()},
                                                    {silentSwitch, kit.Silent()},
                                                    {stallSwitch, kit.OutStalled()},
                                                    {lockSwitch, kit.UsbAccessDenied()}};
    for (const auto& [box, on] : switches) {
        const QSignalBlocker quiet(box);
        box->setChecked(on);
    }
    if (viewTimer.isActive()) {
        viewsStale = true;
    } else {
        RefreshViews();
    }
}
