#include "app_fixture.h"

#include <QApplication>
#include <QFileDialog>
#include <QMessageBox>
#include <QPushButton>
#include <QLineEdit>
#include <QTest>
#include <QTextDocument>
#include <QTimerEvent>

#include "upgrader/platform/application.h"
#include "upgrader/platform/main_queue.h"
#include "upgrader/serial/kiv_serial_port.h"

namespace app_test {

namespace {

class ScriptedWatcher : public serial::KivSerialDeviceWatcher {
public:
    Subscription subscribe(void* context, Callback published, Callback terminated) override {
        deviceScript().context = context;
        deviceScript().published = published;
        deviceScript().terminated = terminated;
        return Subscription{true, true, {}};
    }
};

serial::KivSerialDeviceWatcher::Devices devicesFor(const std::vector<std::string>& paths) {
    serial::KivSerialDeviceWatcher::Devices devices;
    for (const auto& path : paths) devices.push_back(serial::kivDeviceForNodePath(path));
    return devices;
}

bool portOpen(const std::string& path) {
    const auto port = serial::KivSerialPort::existingPortWithPath(path);
    return port && port->isOpen();
}

}  // namespace

void DeviceScript::publish(const std::vector<std::string>& paths) {
    published(context, devicesFor(paths));
}

void DeviceScript::terminate(const std::vector<std::string>& paths) {
    terminated(context, devicesFor(paths));
}

DeviceScript& deviceScript() {
    static DeviceScript script;
    return script;
}

std::unique_ptr<serial::KivSerialDeviceWatcher> makeScriptedWatcher() {
    return std::make_unique<ScriptedWatcher>();
}

std::string& privateBusAddress() {
    static std::string address;
    return address;
}

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    return platform::runMainLoopUntil(condition, timeout);
}

bool drainMainQueue() {
    auto done = std::make_shared<bool>(false);
    platform::mainQueueAsync([done] { *done = true; });
    return waitUntil([done] { return *done; });
}

void ModalDriver::expect(Handler handle) {
    pending_.push_back(std::move(handle));
    if (timer_ == 0) timer_ = startTimer(5);
}

void ModalDriver::timerEvent(QTimerEvent*) {
    QWidget* modal = QApplication::activeModalWidget();
    if (modal == nullptr || pending_.empty()) return;
    if (pending_.front()(modal)) pending_.erase(pending_.begin());
    if (pending_.empty()) {
        killTimer(timer_);
        timer_ = 0;
    }
}

ModalDriver::Handler chooseFile(const std::string& path) {
    return [path](QWidget* modal) {
        auto* dialog = qobject_cast<QFileDialog*>(modal);
        if (dialog == nullptr) return false;
        dialog->selectFile(QString::fromStdString(path));
        // selectFile leaves the name field alone while it has the focus: set it
        // outright. The dialog's own accept checks the name against its file
        // list, which may not have caught up with a file just written, and then
        // opens a box of its own: accepted as a dialog, the name is the window's
        // to check.
        if (auto* name = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit")))
            name->setText(QString::fromStdString(path));
        dialog->QDialog::accept();
        return true;
    };
}

ModalDriver::Handler cancelDialog() {
    return [](QWidget* modal) {
        auto* dialog = qobject_cast<QFileDialog*>(modal);
        if (dialog == nullptr) return false;
        dialog->reject();
        return true;
    };
}

ModalDriver::Handler acceptAlert(ModalDriver& driver) {
    return [&driver](QWidget* modal) {
        auto* box = qobject_cast<QMessageBox*>(modal);
        if (box == nullptr) return false;
        driver.alertTexts.push_back(box->text().toStdString());
        if (box->textFormat() == Qt::RichText || (box->textFormat() == Qt::AutoText && Qt::mightBeRichText(box->text())))
            ++driver.richAlerts;
        QTest::mouseClick(box->button(QMessageBox::Ok), Qt::LeftButton);
        return true;
    };
}

void WindowTest::SetUp() {
    window = std::make_unique<app::MainWindow>();
    vc = window->viewController();
    window->show();
}

void WindowTest::TearDown() {
    unplug(plugged);
    window.reset();
    // A port whose close is still being reported would be met again by the
    // next test on a reused pty path.
    for (const auto& path : used)
        EXPECT_TRUE(waitUntil([&] { return serial::KivSerialPort::existingPortWithPath(path) == nullptr; })) << path;
}

void WindowTest::plug(const std::vector<std::string>& paths) {
    deviceScript().publish(paths);
    plugged.insert(plugged.end(), paths.begin(), paths.end());
    used.insert(used.end(), paths.begin(), paths.end());
}

void WindowTest::unplug(const std::vector<std::string>& paths) {
    if (paths.empty()) return;
    deviceScript().terminate(paths);
    for (const auto& path : paths) {
        EXPECT_TRUE(waitUntil([&] { return !portOpen(path); })) << path << " still open";
        std::erase(plugged, path);
    }
}

void WindowTest::click(QWidget* button) {
    QTest::mouseClick(button, Qt::LeftButton);
}

std::string WindowTest::openTitle() const {
    return vc->bt_OpenPort->text().toStdString();
}

}  // namespace app_test
