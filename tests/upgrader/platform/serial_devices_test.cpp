#include "upgrader/platform/serial_devices.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDeadlineTimer>

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <fstream>

#include "upgrader/platform/serial_device_monitor.h"

namespace platform {
namespace {

// tty, tty0..tty63 (virtual consoles), console, ptmx, pts/*.
bool isVirtualTtyName(const std::string& name) {
    if (name == "console" || name == "ptmx" || name.rfind("pts", 0) == 0) return true;
    return name.rfind("tty", 0) == 0 && name.find_first_not_of("0123456789", 3) == std::string::npos;
}

TEST(SerialDeviceFilter, OnlyRealPortsCount) {
    EXPECT_FALSE(isRealSerialPort({false, std::nullopt}));  // virtual console, ptmx
    EXPECT_FALSE(isRealSerialPort({true, 0}));              // 8250 port without a UART
    EXPECT_TRUE(isRealSerialPort({true, 4}));               // 16550A
    EXPECT_TRUE(isRealSerialPort({true, std::nullopt}));    // USB adapter
    EXPECT_EQ(friendlySerialName("FT232R USB UART", "ttyUSB0"), "FT232R USB UART (ttyUSB0)");
    EXPECT_EQ(friendlySerialName("", "ttyS0"), "ttyS0");
}

TEST(SerialDeviceEnumeration, ListsNoVirtualConsoleAndNoPhantomPort) {
    std::string error;
    const auto devices = enumerateSerialDevices(&error);
    EXPECT_TRUE(error.empty()) << error;
    for (const SerialDeviceInfo& d : devices) {
        SCOPED_TRACE(d.node);
        EXPECT_FALSE(isVirtualTtyName(d.sysname));
        struct stat st {};
        ASSERT_EQ(::stat(d.node.c_str(), &st), 0) << std::strerror(errno);
        EXPECT_TRUE(S_ISCHR(st.st_mode));
        std::ifstream type(d.syspath + "/type");
        long t = -1;
        if (type >> t) {
            EXPECT_NE(t, 0) << "a serial-core port of unknown type was listed";
        }
        EXPECT_FALSE(d.friendlyName.empty());
    }
}

// Triggers a uevent through sysfs and waits for the monitor to see it.
TEST(SerialDeviceMonitorTest, AKernelUeventReachesTheMonitor) {
    int argc = 1;
    char name[] = "serial_devices_test";
    char* argv[] = {name, nullptr};
    std::unique_ptr<QCoreApplication> app;
    if (!QCoreApplication::instance()) app = std::make_unique<QCoreApplication>(argc, argv);

    std::vector<std::string> seen;
    SerialDeviceMonitor::Callbacks callbacks;
    callbacks.rawEvent = [&](const std::string& action, const std::string& sysname) {
        seen.push_back(action + " " + sysname);
    };
    SerialDeviceMonitor monitor(callbacks);
    if (!monitor.isWatching()) GTEST_SKIP() << "no uevent socket in this sandbox: " << monitor.error();

    std::ofstream trigger("/sys/class/tty/tty0/uevent");
    trigger << "change" << std::endl;
    if (!trigger) GTEST_SKIP() << "this sandbox does not let us write /sys/class/tty/tty0/uevent";

    QDeadlineTimer deadline(20000);
    while (seen.empty() && !deadline.hasExpired()) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
    ASSERT_FALSE(seen.empty()) << "the " << monitor.kind() << " monitor saw nothing";
    EXPECT_EQ(seen.front(), "change tty0");
}

}  // namespace
}  // namespace platform
