// The controller's initialisation, set-up and end, its button actions and
// the engine's view on the window's controls. The port's side is in
// view_controller_port.cpp, the desktop notifications in
// view_controller_notifications.cpp.
#include "upgrader/app/view_controller.h"

#include <QComboBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QLoggingCategory>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalBlocker>
#include <QStandardPaths>

#include <iostream>

#include "upgrader/app/controller_port_delegate.h"
#include "upgrader/app/damaged_file.h"
#include "upgrader/app/port_tool_tip.h"
#include "upgrader/app/upgrade_status.h"
#include "upgrader/engine/port_frame_writer.h"
#include "upgrader/platform/notification_center.h"
#include "upgrader/platform/system_log.h"

namespace app {

namespace {

const std::vector<std::int64_t> kAvailableBaudRates{300,   1200,  2400,  4800,  9600,   14400,
                                                    19200, 28800, 38400, 57600, 115200, 230400};

constexpr char kInvalidFileAlert[] = "Invalid file";
constexpr std::chrono::seconds kAnnounceWait{3};
constexpr char kLateAnswerStillCounts[] =
    " within 30 s. A late answer still continues the upgrade; else restart the gimbal and press Start.";

QString startingFolder() {
    const QStringList desktop = QStandardPaths::standardLocations(QStandardPaths::DesktopLocation);
    return desktop.isEmpty() ? QStringLiteral("~/") : desktop.first();
}

}  // namespace

// Fields in their declared order: the controls (loaded into this widget), the
// port manager (whose first use lists the ports and starts watching them on
// this thread's event loop), the rates, the port, then the engine.
ViewController::ViewController(QWidget* parent)
    : QWidget(parent),
      portSelector(nullptr),
      boundsRateSelector(nullptr),
      tf_filepath(nullptr),
      bt_OpenPort(nullptr),
      bt_FileBrowser(nullptr),
      bt_StartUpgrade(nullptr),
      lb_Status(nullptr),
      pgb_UpgradeProgress(nullptr),
      serialPortManager(serial::KivSerialPortManager::sharedSerialPortManager()),
      availableBaudRates(kAvailableBaudRates),
      engine(*this, *this),
      portDelegate_(std::make_shared<ControllerPortDelegate>(*this)) {
    const QuenloControls controls = loadQuenloControls(this);
    portSelector = controls.portSelector;
    boundsRateSelector = controls.boundsRateSelector;
    tf_filepath = controls.tf_filepath;
    bt_OpenPort = controls.bt_OpenPort;
    bt_FileBrowser = controls.bt_FileBrowser;
    bt_StartUpgrade = controls.bt_StartUpgrade;
    lb_Status = controls.lb_Status;
    pgb_UpgradeProgress = controls.pgb_UpgradeProgress;
    announceWait_.setSingleShot(true);
    announceWait_.setInterval(kAnnounceWait);
    connect(&announceWait_, &QTimer::timeout, this, &ViewController::showAnnounceWait);
}

// Leaves the port open and its delegate set: the manager closes it at exit.
ViewController::~ViewController() {
    portDelegate_->detach();
    platform::NotificationCenter::defaultCenter().removeObserver(this);
    auto& center = platform::UserNotificationCenter::defaultUserNotificationCenter();
    if (center.delegate() == this) center.setDelegate(nullptr);
}

void ViewController::viewDidLoad() {
    auto& center = platform::NotificationCenter::defaultCenter();
    center.addObserver(this, serial::KivSerialPortsWereConnectedNotification, nullptr,
                       [this](const platform::Notification& n) { serialPortsWereConnected(n); });
    center.addObserver(this, serial::KivSerialPortsWereDisconnectedNotification, nullptr,
                       [this](const platform::Notification& n) { serialPortsWereDisconnected(n); });
    platform::UserNotificationCenter::defaultUserNotificationCenter().setDelegate(this);
    print(portListText(serialPortManager->availablePorts()));
    fillPortSelector();
    fillBoundsRateSelector();
    boundsRateSelector->setCurrentIndex(static_cast<int>(availableBaudRates.size()) - 2);
    wireButtons();
    bt_StartUpgrade->setEnabled(false);
    pgb_UpgradeProgress->setMaxValue(1.0);
    pgb_UpgradeProgress->setMinValue(0.0);
    pgb_UpgradeProgress->setDoubleValue(0.0);
}

// The list is read afresh for every entry, as the manager may change it.
// The selection names the port Open and Start act on, so a refill keeps the
// open port selected, else the open port that vanished and is back, else the
// user's choice while it is listed, else the first entry. Tool tips are
// worked out when shown: who holds a port changes after it appeared.
void ViewController::fillPortSelector() {
    const bool open = serialPort && serialPort->isOpen();
    const QString chosen = open ? QString::fromStdString(serialPort->name()) : portSelector->currentText();
    const QSignalBlocker quiet(portSelector);  // the refill is no choice of the user's
    portSelector->clear();
    int back = -1;
    for (std::size_t i = 0; i < serialPortManager->availablePorts().size(); ++i) {
        const Port& port = serialPortManager->availablePorts()[i];
        addPortEntry(*portSelector, *port);
        if (!open && !vanishedPath_.empty() && port->path() == vanishedPath_) back = portSelector->count() - 1;
    }
    const int kept = chosen.isEmpty() ? -1 : portSelector->findText(chosen, Qt::MatchExactly);
    if (back >= 0) {
        portSelector->setCurrentIndex(back);
        vanishedPath_.clear();
    } else if (kept >= 0) {
        portSelector->setCurrentIndex(kept);
    }
}

void ViewController::fillBoundsRateSelector() {
    boundsRateSelector->clear();
    for (const std::int64_t rate : availableBaudRates) boundsRateSelector->addItem(QString::number(rate));
}

void ViewController::wireButtons() {
    connect(bt_OpenPort, &QPushButton::clicked, this, &ViewController::bt_openPortPressed);
    connect(bt_FileBrowser, &QPushButton::clicked, this, &ViewController::bt_fileBrowserPressed);
    connect(bt_StartUpgrade, &QPushButton::clicked, this, &ViewController::bt_startUpgradePressed);
    // A port the user picks replaces one waiting to come back.
    connect(portSelector, QOverload<int>::of(&QComboBox::activated), this, [this] { vanishedPath_.clear(); });
}

bool ViewController::upgradeRunning() const {
    return engine.upgradeUnderWay() && !restartedSinceStart_;
}

// Start needs a gimbal that announced itself and no upgrade running; Browse…
// no upgrade running; the port and rate lists show the open port and rate
// and stay as they are while it is open.
void ViewController::syncControls() {
    const bool open = serialPort && serialPort->isOpen();
    bt_StartUpgrade->setEnabled(gimbalKnown_ && !upgradeRunning());
    bt_FileBrowser->setEnabled(!upgradeRunning());
    portSelector->setEnabled(!open);
    boundsRateSelector->setEnabled(!open);
}

// Never while an upgrade runs: the gimbal stands at the MCU it was switched
// to, and a start at MCU 0 would write MCU 0's pages into it.
void ViewController::bt_startUpgradePressed() {
    if (upgradeRunning() || !confirmDamagedFile() || upgradeRunning()) return;
    restartedSinceStart_ = false;
    runClock_.start();
    pgb_UpgradeProgress->setDoubleValue(0.0);
    engine.bt_startUpgradePressed();
    syncControls();
}

// Nothing is sent from a damaged file unless the user says so. Without an
// image the engine refuses the start itself.
bool ViewController::confirmDamagedFile() {
    const auto& image = engine.state().binbytes;
    const auto mismatch = image ? crcMismatch(*image) : std::nullopt;
    if (!mismatch) return true;
    if (!askToSendDamagedFile(this, *mismatch)) return false;
    // The question ran a nested event loop: the port may have closed under it.
    return bt_StartUpgrade->isEnabled();
}

// The status line tells of a damaged file after loading, and of bytes after
// its last page (padding, or a file made for other counts: never sent); a
// sound file loaded next takes that warning back, so it never speaks of a
// file no longer loaded.
void ViewController::showFileCheck() {
    const auto mismatch = crcMismatch(*engine.state().binbytes);
    const auto trailing = engine.trailingBytesWarning();
    const bool warningShown = !damagedStatus_.isEmpty() && lb_Status->text() == damagedStatus_;
    if (mismatch || trailing) {
        if (!warningShown) statusBeforeWarning_ = lb_Status->text();
        QStringList warnings;
        if (mismatch) warnings << damagedFileStatus(*mismatch);
        if (trailing) {
            QString text = QString::fromStdString(*trailing);
            text[0] = text[0].toUpper();
            warnings << text;
        }
        damagedStatus_ = warnings.join(QStringLiteral("; "));
        lb_Status->setText(damagedStatus_);
        return;
    }
    if (warningShown) lb_Status->setText(statusBeforeWarning_);
    damagedStatus_.clear();
}

// The firmware file chooser: one ".bin" file, starting in the desktop folder.
// Not while an upgrade runs: the next page would be cut from the new image
// at the old offset.
void ViewController::bt_fileBrowserPressed() {
    if (upgradeRunning()) return;
    QFileDialog dialog(this, tr("Choose a firmware file"));
    dialog.setObjectName(QStringLiteral("firmwareFileDialog"));
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setNameFilter(tr("Firmware images (*.bin)"));
    dialog.setDirectory(startingFolder());
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty() || upgradeRunning()) return;
    const QString path = dialog.selectedFiles().first();
    // A name typed into the dialog gets past its filter; it is refused here.
    const bool isBin = QFileInfo(path).suffix().compare(QStringLiteral("bin"), Qt::CaseInsensitive) == 0;
    if (isBin && engine.getFileInfo(path.toStdString())) {
        tf_filepath->setText(path);
        pgb_UpgradeProgress->setDoubleValue(0.0);
        showFileCheck();
        return;
    }
    // Says why, with the path: the loader's reason, or the missing suffix.
    const std::string why = !isBin                             ? path.toStdString() + ": the name does not end in \".bin\""
                            : !engine.loadRefusalText().empty() ? engine.loadRefusalText()
                                                                : engine.loadErrorText();
    showAlert(why.empty() ? std::string(kInvalidFileAlert) : std::string(kInvalidFileAlert) + ": " + why);
}

// --- The engine's view ---

void ViewController::setStatusText(const std::string& text) {
    lb_Status->setText(QString::fromStdString(text));
}

void ViewController::setProgress(double fraction) {
    pgb_UpgradeProgress->setDoubleValue(fraction);
}

// Called with true by a version report; whether Start may be pressed then
// depends on the upgrade too.
void ViewController::setStartEnabled(bool enabled) {
    gimbalKnown_ = enabled;
    syncControls();
}

// exec() runs a nested event loop, which keeps delivering the serial layer's
// blocking hand-offs (closed, removed) while the box is open.
void ViewController::showAlert(const std::string& message) {
    QMessageBox box(QMessageBox::NoIcon, window()->windowTitle(), QString::fromStdString(message), QMessageBox::Ok,
                    this);
    box.setObjectName(QStringLiteral("alert"));
    box.setTextFormat(Qt::PlainText);  // paths and the gimbal's texts are never markup
    box.exec();
}

void ViewController::log(const std::string& line) {
    platform::systemLog("%s", line.c_str());
}

void ViewController::print(const std::string& line) {
    std::cout << line << std::endl;
}

// Every chunk and write would bury the event lines on standard output;
// QT_LOGGING_RULES="quenlo.link.debug=true" shows them.
Q_LOGGING_CATEGORY(lcQuenloLink, "quenlo.link", QtInfoMsg)

void ViewController::trace(const std::string& line) {
    qCDebug(lcQuenloLink).noquote() << QString::fromStdString(line);
}

std::optional<bool> ViewController::writeFrame(const engine::Bytes& frame) {
    return engine::writeToOpenPort(serialPort, frame);
}

void ViewController::afterWaitingInput(std::function<void()> then) {
    engine::afterWaitingInput(serialPort, std::move(then));
}

void ViewController::gimbalConnected(const std::string&) {
    announceWait_.stop();
}

void ViewController::pageSent(std::int64_t, std::int64_t, std::int64_t) {
    const auto elapsed = std::chrono::milliseconds(runClock_.isValid() ? runClock_.elapsed() : 0);
    setStatusText(upgradingStatus(engine.state(), elapsed));
}

void ViewController::upgradeCompleted() {
    runEndStatus_ = lb_Status->text();
    syncControls();
}

// The page stays outstanding: a late answer still continues the upgrade.
void ViewController::pageTimedOut(std::int64_t, std::int64_t) {
    if (restartedSinceStart_) return;  // the line already says to press Start
    setStatusText("No answer to " + upgradePlace(engine.state()) + kLateAnswerStillCounts);
}

void ViewController::switchTimedOut(std::int64_t mcu) {
    if (restartedSinceStart_) return;
    setStatusText("No answer to the switch request after MCU " + std::to_string(mcu) + kLateAnswerStillCounts);
}

// The gimbal forgot the upgrade: it waits for MCU 0's first page, so a
// start from the beginning is right again.
void ViewController::gimbalRestarted(std::int64_t mcu, std::int64_t page, std::int64_t) {
    restartedSinceStart_ = true;
    setStatusText(lb_Status->text().toStdString() + ". The gimbal restarted during the upgrade (at MCU " +
                  std::to_string(mcu) + ", page " + std::to_string(page) + "): press Start to upgrade it again.");
    syncControls();
}

void ViewController::upgradeStopped(const std::string&) {
    syncControls();
}

std::string portListText(const ViewController::Ports& ports) {
    std::string text = "[";
    for (std::size_t i = 0; i < ports.size(); ++i) text += (i ? ", " : "") + ports[i]->name();
    return text + "]";
}

}  // namespace app
