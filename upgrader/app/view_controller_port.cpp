// The controller's side of the serial link: Open/Close, the port's callbacks
// and the hot-plug announcements.
#include <QComboBox>
#include <QLabel>
#include <QPushButton>

#include <any>
#include <iostream>

#include "link/port_diagnosis.h"
#include "upgrader/app/controller_port_delegate.h"
#include "upgrader/app/upgrade_status.h"
#include "upgrader/app/view_controller.h"
#include "upgrader/platform/notification_center.h"

namespace app {

void ViewController::bt_openPortPressed() {
    if (serialPort && serialPort->isOpen()) {
        serialPort->close();  // the title changes when the close is reported
        return;
    }
    // With nothing selected (an empty list) the indexes name no entry.
    const auto& ports = serialPortManager->availablePorts();
    const int portIndex = portSelector->currentIndex();
    const int rateIndex = boundsRateSelector->currentIndex();
    if (portIndex < 0 || static_cast<std::size_t>(portIndex) >= ports.size() || rateIndex < 0 ||
        static_cast<std::size_t>(rateIndex) >= availableBaudRates.size())
        return;
    if (serialPort) {  // taken before, but its open failed
        serialPort->setDelegate(nullptr);
        serialPort.reset();
    }
    serialPort = ports[static_cast<std::size_t>(portIndex)];
    vanishedPath_.clear();
    pgb_UpgradeProgress->setDoubleValue(0.0);  // the bar told of another gimbal
    serialPort->setBaudRate(static_cast<std::uint32_t>(availableBaudRates[static_cast<std::size_t>(rateIndex)]));
    serialPort->setDelegate(portDelegate_);
    serialPort->open();
}

void ViewController::serialPortWasOpened(const Port&) {
    bt_OpenPort->setText(QStringLiteral("Close"));
    selectOpenPort();
    gimbalKnown_ = false;
    syncControls();
    announceWait_.start();
}

// The lists may have been changed between Open and this report; while the
// port is open they show it and its rate.
void ViewController::selectOpenPort() {
    if (!serialPort) return;
    const int port = portSelector->findText(QString::fromStdString(serialPort->name()), Qt::MatchExactly);
    if (port >= 0) portSelector->setCurrentIndex(port);
    const int rate = boundsRateSelector->findText(QString::number(serialPort->baudRate()), Qt::MatchExactly);
    if (rate >= 0) boundsRateSelector->setCurrentIndex(rate);
}

// Nothing came from the gimbal: most often it is off, miswired or set to
// another rate.
void ViewController::showAnnounceWait() {
    if (!serialPort || !serialPort->isOpen() || gimbalKnown_) return;
    setStatusText("Port open; waiting for the gimbal to announce itself. Check its power, the wiring and the "
                  "baud rate.");
}

// The close is reported after the port already counts as closed, so Open may
// have been pressed in between: a close of a port opened again since, or of a
// port this window no longer holds, is not the window's port closing. With no
// port held (its device was removed) the close still resets the controls.
void ViewController::serialPortWasClosed(const Port& port) {
    if (serialPort && (serialPort != port || serialPort->isOpen())) return;
    announceWait_.stop();
    if (engine.upgradeUnderWay())
        upgradeLostItsPort("the port " + port->name() + " was closed");
    else if (runEndStatus_.isEmpty() || lb_Status->text() != runEndStatus_)
        setStatusText("Port closed.");  // not the gimbal shown as connected; a run's end stays
    bt_OpenPort->setText(QStringLiteral("Open"));
    if (serialPort) {
        serialPort->setDelegate(nullptr);
        serialPort.reset();
    }
    gimbalKnown_ = false;
    syncControls();
}

// Stays the port's delegate: the close that follows still reaches us. A late
// report for a port let go before must not drop the one opened since.
void ViewController::serialPortWasRemovedFromSystem(const Port& port) {
    if (serialPort != port) return;
    if (engine.upgradeUnderWay()) upgradeLostItsPort("the device " + port->path() + " was removed");
    vanishedPath_ = port->path();  // chosen again should it come back
    serialPort.reset();
}

// Without its port the upgrade cannot go on: it is given up (no "send
// Failed" half a minute later for a page that can never be answered), and
// the status line says so instead of still showing the gimbal as connected.
void ViewController::upgradeLostItsPort(const std::string& why) {
    const std::string text = upgradeStoppedStatus(engine.state(), why);
    engine.cancelUpgrade();
    print(text);
    setStatusText(text);
    runEndStatus_ = lb_Status->text();
}

// A failed open also says on the status line why, and how to fix it: the
// standard-output line alone is lost on a user who started the window from
// a menu.
void ViewController::serialPortDidEncounterError(const Port& port, const serial::KivPosixError& error) {
    print("SerialPort " + port->description() + " encountered an error: " + error.message());
    const bool opening = error.operation == "open" || error.operation == "lock" || error.operation == "flock" ||
                         error.operation == "ioctl(TIOCEXCL)";
    if (!opening || port != serialPort) return;
    const gimbal::PortDiagnosis diagnosis = gimbal::diagnoseOpenFailure(error.filePath, error.code);
    setStatusText(diagnosis.hint.empty() ? diagnosis.text : diagnosis.text + ". Fix: " + diagnosis.hint);
}

void ViewController::serialPortDidReceiveData(const Port& port, const engine::Bytes& data) {
    engine.serialPortDidReceiveData(port, data);
}

void ViewController::serialPortsWereConnected(const platform::Notification& notification) {
    portsChanged(notification, serial::KivConnectedSerialPortsKey,
                 "Ports were connected: ", &ViewController::postUserNotificationForConnectedPorts);
}

void ViewController::serialPortsWereDisconnected(const platform::Notification& notification) {
    portsChanged(notification, serial::KivDisconnectedSerialPortsKey,
                 "Ports were disconnected: ", &ViewController::postUserNotificationForDisconnectedPorts);
}

// A notice without the list of ports (or with something else under its key)
// is not one the manager sends; it is ignored like one without user info.
void ViewController::portsChanged(const platform::Notification& notification, const char* key, const char* line,
                                  void (ViewController::*post)(const Ports&)) {
    const auto entry = notification.userInfo.find(key);
    if (entry == notification.userInfo.end()) return;
    const auto* ports = std::any_cast<Ports>(&entry->second);
    if (ports == nullptr) return;
    const Ports changed = *ports;
    print(line + portListText(changed));
    (this->*post)(changed);
    fillPortSelector();
}

}  // namespace app
