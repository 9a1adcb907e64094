// The window's set-up and its port handling, driven through its buttons.
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSerialPort>
#include <QTextDocument>

#include <csignal>

#include "tests/support/window_process.h"
#include "tests/upgrader/support/pty.h"
#include "app_fixture.h"
#include "upgrader/platform/desktop_notifications.h"
#include "upgrader/platform/notification_center.h"
#include "upgrader/serial/kiv_serial_port.h"

namespace app_test {
namespace {

QStringList items(const QComboBox* box) {
    QStringList out;
    for (int i = 0; i < box->count(); ++i) out << box->itemText(i);
    return out;
}

using StartUp = WindowTest;

TEST_F(StartUp, ShowsTheTwelveRatesWith115200SelectedAndNothingOpen) {
    EXPECT_EQ(vc->portSelector->count(), 0);
    EXPECT_EQ(items(vc->boundsRateSelector), QStringList({"300", "1200", "2400", "4800", "9600", "14400", "19200",
                                                          "28800", "38400", "57600", "115200", "230400"}));
    EXPECT_EQ(vc->boundsRateSelector->currentIndex(), 10);
    EXPECT_FALSE(vc->bt_StartUpgrade->isEnabled());
    EXPECT_EQ(vc->pgb_UpgradeProgress->doubleValue(), 0.0);
    EXPECT_EQ(vc->pgb_UpgradeProgress->value(), vc->pgb_UpgradeProgress->minimum());
    EXPECT_FALSE(vc->serialPort);
    for (const char* name : {"portSelector", "boundsRateSelector", "tf_filepath", "bt_OpenPort", "bt_FileBrowser",
                             "bt_StartUpgrade", "lb_Status", "pgb_UpgradeProgress"})
        EXPECT_TRUE(vc->findChild<QWidget*>(name)) << name;
    EXPECT_FALSE(window->windowTitle().isEmpty());
}

TEST_F(StartUp, OpenWithAnEmptyPortListDoesNothing) {
    click(vc->bt_OpenPort);
    EXPECT_FALSE(vc->serialPort);
    EXPECT_EQ(openTitle(), "Open");
}

using PortHandling = WindowTest;

TEST_F(PortHandling, OpenThenCloseRetitlesTheButtonAndKeepsStartDisabled) {
    test_support::Pty pty;
    plug({pty.slavePath()});
    ASSERT_EQ(vc->portSelector->count(), 1);
    vc->boundsRateSelector->setCurrentIndex(11);
    vc->pgb_UpgradeProgress->setDoubleValue(0.5);  // another gimbal's
    click(vc->bt_OpenPort);
    ASSERT_TRUE(waitUntil([&] { return openTitle() == "Close"; }));
    ASSERT_TRUE(vc->serialPort);
    EXPECT_EQ(vc->serialPort->baudRate(), 230400u);
    EXPECT_FALSE(vc->bt_StartUpgrade->isEnabled());
    EXPECT_EQ(vc->pgb_UpgradeProgress->doubleValue(), 0.0);
    // Nothing announces itself on this line.
    EXPECT_TRUE(waitUntil([&] {
        return vc->lb_Status->text() == "Port open; waiting for the gimbal to announce itself. Check its power, the "
                                        "wiring and the baud rate.";
    }));

    // A new rate chosen while open (by the program: the list is locked) waits for the next open.
    vc->boundsRateSelector->setCurrentIndex(4);
    click(vc->bt_OpenPort);
    ASSERT_TRUE(waitUntil([&] { return openTitle() == "Open"; }));
    EXPECT_EQ(vc->lb_Status->text(), "Port closed.");
    EXPECT_FALSE(vc->serialPort);
    EXPECT_FALSE(vc->bt_StartUpgrade->isEnabled());
    EXPECT_FALSE(serial::KivSerialPort::existingPortWithPath(pty.slavePath())->isOpen());
    EXPECT_EQ(serial::KivSerialPort::existingPortWithPath(pty.slavePath())->baudRate(), 230400u);
}

TEST_F(PortHandling, AFailedOpenLeavesAnErrorLineAndASecondPressRetries) {
    test_support::Pty pty;
    plug({pty.slavePath()});
    QSerialPort holder(QString::fromStdString(pty.slavePath()));
    ASSERT_TRUE(holder.open(QIODevice::ReadWrite)) << holder.errorString().toStdString();

    testing::internal::CaptureStdout();
    click(vc->bt_OpenPort);
    const auto port = vc->serialPort;
    ASSERT_TRUE(port);
    // The open fails on this thread and queues its error report.
    EXPECT_TRUE(drainMainQueue());
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("SerialPort " + port->name() + " encountered an error: "), std::string::npos) << out;
    EXPECT_EQ(vc->lb_Status->text().toStdString().rfind(pty.slavePath() + " is in use by", 0), 0u)
        << vc->lb_Status->text().toStdString();
    EXPECT_EQ(vc->lb_Status->textFormat(), Qt::PlainText) << "a lock file's holder name is no markup";
    EXPECT_EQ(openTitle(), "Open");
    EXPECT_FALSE(port->isOpen());

    holder.close();
    click(vc->bt_OpenPort);
    ASSERT_TRUE(waitUntil([&] { return openTitle() == "Close"; }));
    EXPECT_TRUE(vc->serialPort && vc->serialPort->isOpen());
}

TEST_F(PortHandling, RemovingTheOpenPortForgetsItAndRefillsTheList) {
    test_support::Pty keep, pull;
    plug({keep.slavePath(), pull.slavePath()});
    vc->portSelector->setCurrentIndex(1);
    click(vc->bt_OpenPort);
    ASSERT_TRUE(waitUntil([&] { return openTitle() == "Close"; }));
    const std::string name = vc->serialPort->name();

    testing::internal::CaptureStdout();
    unplug({pull.slavePath()});
    EXPECT_TRUE(waitUntil([&] { return openTitle() == "Open"; }));
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_FALSE(vc->serialPort);
    EXPECT_FALSE(vc->bt_StartUpgrade->isEnabled());
    EXPECT_EQ(
        items(vc->portSelector),
        QStringList{QString::fromStdString(serial::KivSerialPort::existingPortWithPath(keep.slavePath())->name())});
    EXPECT_NE(out.find("Ports were disconnected: [" + name + "]\n"), std::string::npos) << out;
    plug({pull.slavePath()});  // back under the same path: chosen again
    EXPECT_EQ(vc->portSelector->currentText().toStdString(), name);
}

// Close and removal are reported after the fact, and on Linux an unplug is
// reported twice (hang-up and device monitor): a report that arrives after
// Open was pressed again, or for a port let go before, leaves the port the
// window holds open.
TEST_F(PortHandling, LateCloseAndRemovalReportsLeaveTheOpenPortAlone) {
    test_support::Pty first, second;
    plug({first.slavePath(), second.slavePath()});
    vc->portSelector->setCurrentIndex(0);
    click(vc->bt_OpenPort);
    ASSERT_TRUE(waitUntil([&] { return openTitle() == "Close"; }));
    const auto port = vc->serialPort;
    const auto other = serial::KivSerialPort::existingPortWithPath(second.slavePath());
    ASSERT_TRUE(port && other);

    vc->serialPortWasClosed(port);  // the previous open's close, reported late
    vc->serialPortWasClosed(other);
    vc->serialPortWasRemovedFromSystem(other);
    EXPECT_EQ(vc->serialPort, port);
    EXPECT_TRUE(port->isOpen());
    EXPECT_EQ(openTitle(), "Close");

    click(vc->bt_OpenPort);
    ASSERT_TRUE(waitUntil([&] { return openTitle() == "Open"; }));
    EXPECT_FALSE(vc->serialPort);
}

// A tool tip was worked out when its port appeared, so it went on naming a
// holder that had let go, or none for a port taken since.
TEST_F(PortHandling, PortToolTipsTellWhoHoldsThePortWhenShown) {
    test_support::Pty pty;
    plug({pty.slavePath()});
    const auto tip = [&] {
        QTextDocument text;
        text.setHtml(vc->portSelector->itemData(0, Qt::ToolTipRole).toString());
        return text.toPlainText().toStdString();
    };
    EXPECT_EQ(tip(), pty.slavePath());
    test_support::WindowProcess holder(QUENLO_SIGNAL_HARNESS, {pty.slavePath()});
    ASSERT_TRUE(holder.started());
    ASSERT_TRUE(holder.waitForLine("OPEN", std::chrono::seconds(60))) << holder.output();
    EXPECT_NE(tip().find("Cannot be opened: " + pty.slavePath() + " is in use by "), std::string::npos) << tip();
    ASSERT_TRUE(holder.signal(SIGTERM));
    ASSERT_TRUE(holder.waitForExit(std::chrono::seconds(60)).has_value());
    EXPECT_EQ(tip(), pty.slavePath());
}

// The list keeps naming the open port: Start acts on it.
TEST_F(PortHandling, APlugInWhileOpenAppendsThePortAndKeepsTheOpenPortSelected) {
    test_support::Pty first, second, third;
    plug({first.slavePath(), second.slavePath()});
    vc->portSelector->setCurrentIndex(1);
    click(vc->bt_OpenPort);
    ASSERT_TRUE(waitUntil([&] { return openTitle() == "Close"; }));

    testing::internal::CaptureStdout();
    plug({third.slavePath()});
    const std::string out = testing::internal::GetCapturedStdout();
    const auto name = [](const test_support::Pty& p) {
        return serial::KivSerialPort::existingPortWithPath(p.slavePath())->name();
    };
    EXPECT_EQ(items(vc->portSelector),
              QStringList({QString::fromStdString(name(first)), QString::fromStdString(name(second)),
                           QString::fromStdString(name(third))}));
    EXPECT_EQ(vc->portSelector->currentIndex(), 1);
    EXPECT_TRUE(vc->serialPort && vc->serialPort->isOpen());
    EXPECT_NE(out.find("Ports were connected: [" + name(third) + "]\n"), std::string::npos) << out;
}

// The closed callback holds the poll thread until the main thread has run it;
// an alert's nested event loop must keep serving it.
TEST_F(PortHandling, ARemovalWhileAnAlertIsOpenIsDeliveredBeforeTheAlertCloses) {
    test_support::Pty pty;
    plug({pty.slavePath()});
    click(vc->bt_OpenPort);
    ASSERT_TRUE(waitUntil([&] { return openTitle() == "Close"; }));

    bool closedWhileOpen = false;
    modals.expect([&](QWidget* modal) {
        pty.closeMaster();  // the device vanishes: removal, then close
        closedWhileOpen = waitUntil([&] { return openTitle() == "Open"; });
        return acceptAlert(modals)(modal);
    });
    vc->showAlert("send Failed");
    EXPECT_TRUE(closedWhileOpen);
    EXPECT_FALSE(vc->serialPort);
    EXPECT_EQ(modals.alertTexts, std::vector<std::string>{"send Failed"});
}

TEST_F(PortHandling, NoticesWithoutTheListOfPortsAreIgnored) {
    test_support::Pty pty;
    plug({pty.slavePath()});
    // A refill would drop this entry; a handled notice would also be delivered.
    const QString listed = vc->portSelector->itemText(0);
    vc->portSelector->addItem(QStringLiteral("sentinel"));
    auto& center = platform::UserNotificationCenter::defaultUserNotificationCenter();
    const std::size_t delivered = center.deliveredNotifications().size();
    platform::Notification odd{serial::KivSerialPortsWereConnectedNotification, nullptr, {}};
    vc->serialPortsWereConnected(odd);
    odd.userInfo[serial::KivConnectedSerialPortsKey] = std::string("not a list");
    vc->serialPortsWereConnected(odd);
    odd.name = serial::KivSerialPortsWereDisconnectedNotification;
    odd.userInfo = {{serial::KivDisconnectedSerialPortsKey, 42}};
    vc->serialPortsWereDisconnected(odd);
    EXPECT_EQ(items(vc->portSelector), QStringList({listed, "sentinel"}));
    EXPECT_EQ(center.deliveredNotifications().size(), delivered);
}

}  // namespace
}  // namespace app_test
