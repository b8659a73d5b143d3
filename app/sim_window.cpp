// The "Simulated Kit" window of palvex-sim: shows the board's state and lets the user plug
// and unplug it, hold it silent, stall its OUT endpoint, lock its USB node and make it send
// text on either channel.
#include "app/sim_window.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>
#include <cstdint>
#include <vector>

#include "bench/ansi_text.h"
#include "sim/sim_kit.h"

namespace {

// The board's text is single-byte ANSI, as the page reads it: each character goes as one byte.
std::vector<uint8_t> ToBytes(const QString& text) {
    const std::string bytes = AnsiFromText(text);
    return std::vector<uint8_t>(bytes.begin(), bytes.end());
}

}  // namespace

CSimWindow::CSimWindow(CSimKit& simKit, QWidget* parent)
    : QWidget(parent, Qt::Window), kit(simKit) {
    setObjectName(QStringLiteral("simWindow"));
    setWindowTitle(QStringLiteral("Simulated Kit"));

    auto* layout = new QVBoxLayout(this);

    // The switches come first, at the window's top left, where they are easiest to reach.
    auto* switchBox = new QGroupBox(QStringLiteral("Connections"), this);
    auto* switchLayout = new QVBoxLayout(switchBox);
    usbSwitch = new QCheckBox(QStringLiteral("USB plugged in"), switchBox);
    serialSwitch = new QCheckBox(QStringLiteral("Serial line connected (COM1)"), switchBox);
    silentSwitch = new QCheckBox(QStringLiteral("Hold the board silent"), switchBox);
    switchLayout->addWidget(usbSwitch);
    switchLayout->addWidget(serialSwitch);
    stallSwitch = new QCheckBox(QStringLiteral("Stop reading USB output reports"), switchBox);
    lockSwitch = new QCheckBox(QStringLiteral("No access to the USB node"), switchBox);
    switchLayout->addWidget(silentSwitch);
    switchLayout->addWidget(stallSwitch);
    switchLayout->addWidget(lockSwitch);
    layout->addWidget(switchBox);

    auto* stateBox = new QGroupBox(QStringLiteral("Board"), this);
    auto* stateLayout = new QVBoxLayout(stateBox);
    ledLabel = new QLabel(stateBox);
    versionLabel = new QLabel(stateBox);
    versionLabel->setTextFormat(Qt::PlainText);
    countersLabel = new QLabel(stateBox);
    stateLayout->addWidget(ledLabel);
    stateLayout->addWidget(versionLabel);
    stateLayout->addWidget(countersLabel);
    layout->addWidget(stateBox);

    auto* sendGroup = new QGroupBox(QStringLiteral("The board sends"), this);
    auto* sendLayout = new QVBoxLayout(sendGroup);
    sendBox = new QLineEdit(QStringLiteral("Hello"), sendGroup);
    sendLayout->addWidget(sendBox);
    auto* buttons = new QHBoxLayout;
    sendUsbButton = new QPushButton(QStringLiteral("Send on USB"), sendGroup);
    sendSerialButton = new QPushButton(QStringLiteral("Send on serial"), sendGroup);
    buttons->addWidget(sendUsbButton);
    buttons->addWidget(sendSerialButton);
    sendLayout->addLayout(buttons);
    layout->addWidget(sendGroup);
    layout->addStretch(1);

    // clicked, not toggled: only the user's own clicks change the kit; Refresh sets the
    // boxes without sending anything back.
    connect(usbSwitch, &QCheckBox::clicked, this, [this](bool on) { kit.PlugUsb(on); });
    connect(serialSwitch, &QCheckBox::clicked, this, [this](bool on) { kit.ConnectSerial(on); });
    connect(silentSwitch, &QCheckBox::clicked, this, [this](bool on) { kit.SetSilent(on); });
    connect(stallSwitch, &QCheckBox::clicked, this, [this](bool on) { kit.SetOutStalled(on); });
    connect(lockSwitch, &QCheckBox::clicked, this, [this](bool on) { kit.SetUsbAccessDenied(on); });
    // The kit paces USB sends to a reader that lags; a typed text is a few reports only,
    // so these calls return at once in practice.
    connect(sendUsbButton, &QPushButton::clicked, this,
            [this] { kit.SendUsb(ToBytes(sendBox->text())); });
    connect(sendSerialButton, &QPushButton::clicked, this,
            [this] { kit.SendSerial(ToBytes(sendBox->text())); });

    kit.SetObserver([this] {
        if (!refreshPending.exchange(true)) {
            QMetaObject::invokeMethod(this, &CSimWindow::Refresh, Qt::QueuedConnection);
        }
    });
    Refresh();
}

CSimWindow::~CSimWindow() {
    // Once SetObserver returns no observer call runs any more; refreshes already queued
    // die with this object.
    kit.SetObserver(nullptr);
}

void CSimWindow::Refresh() {
    refreshPending.store(false);
    ledLabel->setText(kit.LedFlashing() ? QStringLiteral("LED: flashing")
                                        : QStringLiteral("LED: stopped"));
    versionLabel->setText(QStringLiteral("Firmware version: %1").arg(TextFromAnsi(kit.Version())));
    countersLabel->setText(QStringLiteral("Version requests: %1   Close commands: %2")
                               .arg(kit.VersionRequests())
                               .arg(kit.CloseCommands()));
    usbSwitch->setChecked(kit.UsbPlugged());
    serialSwitch->setChecked(kit.SerialConnected());
    silentSwitch->setChecked(kit.Silent());
    stallSwitch->setChecked(kit.OutStalled());
    lockSwitch->setChecked(kit.UsbAccessDenied());
}
