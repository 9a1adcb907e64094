// Test support for the upgrader's window: a scripted device source behind
// the process-wide port manager, the real main window, a driver for modal
// boxes and dialogs, and a fake desktop notification service on the private
// session bus the test main starts.
#pragma once

#include <gtest/gtest.h>

#include <QObject>
#include <QStringList>
#include <QVariantMap>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "upgrader/app/main_window.h"
#include "upgrader/app/view_controller.h"
#include "upgrader/serial/kiv_serial_device_watcher.h"

class QWidget;

namespace app_test {

// The device source the manager was made with (installed by the test main).
struct DeviceScript {
    void* context = nullptr;
    serial::KivSerialDeviceWatcher::Callback published = nullptr;
    serial::KivSerialDeviceWatcher::Callback terminated = nullptr;
    void publish(const std::vector<std::string>& paths);
    void terminate(const std::vector<std::string>& paths);
};
DeviceScript& deviceScript();
std::unique_ptr<serial::KivSerialDeviceWatcher> makeScriptedWatcher();

// The private bus's address; empty when dbus-daemon could not be started.
std::string& privateBusAddress();

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout = std::chrono::seconds(10));

// Runs the main loop until everything queued to it so far has run.
bool drainMainQueue();

// Runs `handle` on the next modal widget that opens (a file dialog or an
// alert); `handle` closes it. Checked every few milliseconds by a timer.
class ModalDriver : public QObject {
public:
    using Handler = std::function<bool(QWidget* modal)>;  // true: done with this modal
    void expect(Handler handle);
    std::vector<std::string> alertTexts;  // every alert seen
    int richAlerts = 0;                   // alerts whose text would be read as markup

private:
    void timerEvent(QTimerEvent*) override;
    std::vector<Handler> pending_;
    int timer_ = 0;
};
// Handlers for the usual cases.
ModalDriver::Handler chooseFile(const std::string& path);
ModalDriver::Handler cancelDialog();
ModalDriver::Handler acceptAlert(ModalDriver& driver);

// The window under test; on tear-down every device the test published is
// unplugged again so that the next test starts with an empty list.
class WindowTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    void plug(const std::vector<std::string>& paths);
    void unplug(const std::vector<std::string>& paths);
    void click(QWidget* button);
    std::string openTitle() const;

    std::unique_ptr<app::MainWindow> window;
    app::ViewController* vc = nullptr;
    ModalDriver modals;
    std::vector<std::string> plugged;
    std::vector<std::string> used;
};

// One call the fake notification service received.
struct NotifyCall {
    QString app, icon, title, body;
    QVariantMap hints;
    uint id = 0;
};

}  // namespace app_test
