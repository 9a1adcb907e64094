// The upgrader window's controller: holds the port manager, the port the user
// opened and the upgrade engine, wires the window's controls, handles the
// port's callbacks and hot-plug announcements, posts desktop notifications
// and runs the firmware file chooser. The upgrade itself is the engine's; the
// controller implements the engine's view on its controls.
//
// Threads: main thread only. The port's closed and removed callbacks make the
// serial layer's poll thread wait for this thread, so no handler here waits
// for the serial layer; modal boxes run a nested event loop that keeps
// delivering those hand-offs.
#pragma once

#include <QElapsedTimer>
#include <QTimer>
#include <QWidget>

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "upgrader/app/controls.h"
#include "upgrader/engine/upgrade_engine.h"
#include "upgrader/platform/desktop_notifications.h"
#include "upgrader/serial/kiv_serial_port_manager.h"

namespace platform {
struct Notification;
}

namespace app {

class ControllerPortDelegate;

class ViewController : public QWidget,
                       public engine::UpgradeView,
                       public engine::FrameWriter,
                       public platform::UserNotificationCenterDelegate {
public:
    using Port = serial::KivSerialPortManager::Port;
    using Ports = serial::KivSerialPortManager::Ports;

    explicit ViewController(QWidget* parent = nullptr);
    ~ViewController() override;

    void viewDidLoad();

    // Controls: made when the window is loaded, owned by the widget tree.
    QComboBox* portSelector;
    QComboBox* boundsRateSelector;
    QLineEdit* tf_filepath;
    QPushButton* bt_OpenPort;
    QPushButton* bt_FileBrowser;
    QPushButton* bt_StartUpgrade;
    QLabel* lb_Status;
    FractionProgressBar* pgb_UpgradeProgress;

    const std::shared_ptr<serial::KivSerialPortManager> serialPortManager;
    const std::vector<std::int64_t> availableBaudRates;
    // The port the user opened (or whose open failed); the engine's frames go to it.
    Port serialPort;
    // Image, page counts and upgrade state.
    engine::UpgradeEngine engine;

    // Button actions.
    void bt_openPortPressed();
    void bt_fileBrowserPressed();
    void bt_startUpgradePressed();

    // Port callbacks (through ControllerPortDelegate).
    void serialPortWasOpened(const Port& port);
    void serialPortWasClosed(const Port& port);
    void serialPortWasRemovedFromSystem(const Port& port);
    void serialPortDidEncounterError(const Port& port, const serial::KivPosixError& error);
    void serialPortDidReceiveData(const Port& port, const engine::Bytes& data);

    // Hot-plug announcements and their desktop notifications.
    void serialPortsWereConnected(const platform::Notification& notification);
    void serialPortsWereDisconnected(const platform::Notification& notification);
    void postUserNotificationForConnectedPorts(const Ports& ports);
    void postUserNotificationForDisconnectedPorts(const Ports& ports);
    void userNotificationCenterDidDeliverNotification(platform::UserNotificationCenter& center,
                                                      const platform::UserNotification& notification) override;
    bool userNotificationCenterShouldPresentNotification(platform::UserNotificationCenter& center,
                                                         const platform::UserNotification& notification) override;

    // The engine's view, on the controls.
    void setStatusText(const std::string& text) override;
    void setProgress(double fraction) override;
    void setStartEnabled(bool enabled) override;
    void showAlert(const std::string& message) override;
    void log(const std::string& line) override;
    void print(const std::string& line) override;
    void trace(const std::string& line) override;  // the "quenlo.link" logging category, off by default
    std::optional<bool> writeFrame(const engine::Bytes& frame) override;
    void afterWaitingInput(std::function<void()> then) override;
    void gimbalConnected(const std::string& versionText) override;
    void pageSent(std::int64_t mcu, std::int64_t page, std::int64_t offset) override;
    void upgradeCompleted() override;
    void pageTimedOut(std::int64_t mcu, std::int64_t page) override;
    void switchTimedOut(std::int64_t mcu) override;
    void gimbalRestarted(std::int64_t mcu, std::int64_t page, std::int64_t pages) override;
    void upgradeStopped(const std::string& reason) override;

    // An upgrade is under way and the gimbal has not announced itself since
    // it began: the gimbal stands at the MCU the upgrade switched it to, so
    // nothing may start again at MCU 0 nor change the image under it.
    bool upgradeRunning() const;

private:
    void fillPortSelector();
    void syncControls();
    void selectOpenPort();
    void showAnnounceWait();
    void fillBoundsRateSelector();
    void wireButtons();
    void portsChanged(const platform::Notification& notification, const char* key, const char* line,
                      void (ViewController::*post)(const Ports&));
    void postUserNotifications(const Ports& ports, const QString& title, const char* ending);
    void noticeBrlttyForShortLivedPorts(const Ports& ports);
    bool confirmDamagedFile();
    void showFileCheck();
    void upgradeLostItsPort(const std::string& why);

    std::shared_ptr<ControllerPortDelegate> portDelegate_;  // the port holds it weakly
    QString damagedStatus_;                                 // the file warning last shown (damaged, padded), if any
    QString statusBeforeWarning_;                           // what the status line said before it
    QString runEndStatus_;                                  // how the last upgrade ended, as shown
    std::map<std::string, std::chrono::steady_clock::time_point> connectedAt_;  // by path
    std::set<std::string> brlttyNoticed_;  // ports already named in a brltty notice
    bool gimbalKnown_ = false;            // a version report came since the port opened
    bool restartedSinceStart_ = false;    // the gimbal announced itself again mid-upgrade
    std::string vanishedPath_;            // the open port's device, removed; chosen again if it returns
    QElapsedTimer runClock_;              // since Start, for the time left
    QTimer announceWait_;                 // a port open this long without a version report is told of
};

// "[a, b]": ports by name, as the output lines show them.
std::string portListText(const ViewController::Ports& ports);

}  // namespace app
