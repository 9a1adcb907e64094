// quenlo-flash --list, run as a child process over a virtual-serial folder of
// its own: links to pseudo-terminals, one of them held by another process.
// Each port is listed with its state, and no device is opened to find it.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include <fstream>

#include "link/serial_locks.h"
#include "tests/upgrader/support/pty.h"
#include "child_process.h"
#include "tests/support/holding_process.h"
#include "upgrader/flash/port_list.h"

namespace {

namespace fs = std::filesystem;
using flash_test::ChildResult;
using flash_test::runChild;

using flash_test::kProgram;

// Another process that opens the device and takes its flock, until killed.
struct Holder : test_support::HoldingProcess {
    explicit Holder(const std::string& path)
        : HoldingProcess([&path] {
              const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY);
              return fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0;
          }) {}
};

// Counts the opens of a device node from the moment it is made.
struct OpenWatch {
    explicit OpenWatch(const std::string& path) : fd(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
        ::inotify_add_watch(fd, path.c_str(), IN_OPEN);
    }
    ~OpenWatch() { ::close(fd); }
    std::size_t opens() {
        alignas(inotify_event) char buffer[4096];
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        return n > 0 ? static_cast<std::size_t>(n) / sizeof(inotify_event) : 0;
    }
    int fd;
};

TEST(FlashList, ListsVirtualPortsFreeOrBusyWithTheirHolderWithoutOpeningThem) {
    std::string pattern = (fs::temp_directory_path() / "flash-list-XXXXXX").string();
    const std::string runtime = ::mkdtemp(pattern.data());
    const std::string folder = runtime + "/virtual-serial";
    ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
    test_support::Pty freePty, heldPty, openPty;
    const std::string freeLink = folder + "/bench", heldLink = folder + "/gimbal", openLink = folder + "/shared";
    fs::create_symlink(freePty.slavePath(), freeLink);
    fs::create_symlink(heldPty.slavePath(), heldLink);
    fs::create_symlink(openPty.slavePath(), openLink);
    Holder holder(heldPty.slavePath());
    ASSERT_TRUE(holder.held);
    // Open without any lock, as a pty's provider keeps its slave: not busy.
    test_support::HoldingProcess opener([&] { return ::open(openPty.slavePath().c_str(), O_RDWR | O_NOCTTY) >= 0; });
    ASSERT_TRUE(opener.held);
    OpenWatch watch(freePty.slavePath());
    const std::vector<std::string> env{"XDG_RUNTIME_DIR=" + runtime};
    // A lock naming minicom with the PID of a process that is no minicom and
    // holds no flock: not believed, as the open would not believe it.
    const std::string forged = *gimbal::lockDirectory() + "/" + gimbal::lockFileNameFor(freePty.slavePath());
    std::ofstream(forged) << opener.pid << "\nminicom\nhost\n";

    const ChildResult text = runChild(kProgram, {"--list"}, std::chrono::seconds(60), env);
    const ChildResult json = runChild(kProgram, {"--list", "--json"}, std::chrono::seconds(60), env);
    ::unlink(forged.c_str());
    EXPECT_EQ(watch.opens(), 0u) << "listing opened the device";
    ::close(::open(freePty.slavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK));
    EXPECT_GT(watch.opens(), 0u) << "the watch sees opens";
    fs::remove_all(runtime);

    EXPECT_EQ(text.exitCode, 0) << dump(text);
    // Named columns and a legend for "-", also when the output is not a terminal.
    ASSERT_FALSE(text.lines.empty());
    EXPECT_TRUE(text.lines.front().starts_with("PATH ")) << dump(text);
    EXPECT_EQ(text.lines.back(), "-: not known (not a USB device, or the device does not say)") << dump(text);
    const auto row = [&](const std::string& path) {
        return std::find_if(text.lines.begin(), text.lines.end(),
                            [&](const auto& l) { return l.starts_with(path + " "); });
    };
    ASSERT_NE(row(freeLink), text.lines.end()) << dump(text);
    EXPECT_TRUE(row(freeLink)->ends_with(" free")) << dump(text);
    EXPECT_NE(row(freeLink)->find(" bench "), std::string::npos) << dump(text);
    const auto held = row(heldLink);
    ASSERT_NE(held, text.lines.end()) << dump(text);
    EXPECT_TRUE(held->ends_with(" busy")) << dump(text);
    const std::string pid = "PID " + std::to_string(holder.pid);
    ASSERT_LT(held + 2, text.lines.end()) << dump(text);
    EXPECT_TRUE(held[1].starts_with("  why: " + heldLink + " is in use by ")) << dump(text);
    EXPECT_NE(held[1].find(pid), std::string::npos) << dump(text);
    EXPECT_EQ(held[2].rfind("  fix: close ", 0), 0u) << dump(text);
    const auto open = row(openLink);
    ASSERT_NE(open, text.lines.end()) << dump(text);
    EXPECT_TRUE(open->ends_with(" free")) << dump(text);
    ASSERT_LT(open + 1, text.lines.end()) << dump(text);
    EXPECT_TRUE(open[1].starts_with("  note: " + openLink + " is open in ")) << dump(text);
    EXPECT_NE(open[1].find("PID " + std::to_string(opener.pid)), std::string::npos) << dump(text);

    EXPECT_EQ(json.exitCode, 0) << dump(json);
    EXPECT_NE(std::find(json.lines.begin(), json.lines.end(),
                        "{\"event\":\"port\",\"path\":\"" + freeLink +
                            "\",\"name\":\"bench\",\"state\":\"free\",\"cause\":\"usable\"}"),
              json.lines.end())
        << dump(json);
    const auto heldObject = std::find_if(json.lines.begin(), json.lines.end(), [&](const auto& l) {
        return l.starts_with("{\"event\":\"port\",\"path\":\"" + heldLink +
                             "\",\"name\":\"gimbal\",\"state\":\"busy\"");
    });
    ASSERT_NE(heldObject, json.lines.end()) << dump(json);
    EXPECT_NE(heldObject->find(",\"cause\":\"busy\",\"hint\":\"close "), std::string::npos) << *heldObject;
    EXPECT_NE(heldObject->find(",\"holderPid\":" + std::to_string(holder.pid)), std::string::npos) << *heldObject;
}

// A USB adapter as sysfs shows it (no adapter is plugged in here): the facts
// come from the USB device above the tty's interface, the driver from the
// port device, the alias from the by-id folder.
TEST(FlashList, UsbFactsComeFromTheDeviceAboveTheTtyAndTheAliasFromById) {
    std::string pattern = (fs::temp_directory_path() / "flash-sysfs-XXXXXX").string();
    const fs::path root = ::mkdtemp(pattern.data());
    const fs::path usb = root / "devices/usb1/1-1", port = usb / "1-1:1.0/ttyUSB0", tty = port / "tty/ttyUSB0";
    fs::create_directories(tty);
    fs::create_directories(root / "bus/usb-serial/drivers/ftdi_sio");
    for (const auto& [name, value] : {std::pair{"idVendor", "0403"},
                                      {"idProduct", "6001"},
                                      {"manufacturer", "FTDI"},
                                      {"product", "FT232R USB UART"},
                                      {"serial", "A10K1B2C"}})
        std::ofstream(usb / name) << value << "\n";
    fs::create_directory_symlink(root / "bus/usb-serial/drivers/ftdi_sio", port / "driver");
    fs::create_directory_symlink("../../../ttyUSB0", tty / "device");
    fs::create_directories(root / "dev" / "serial/by-id");
    std::ofstream(root / "dev/ttyUSB0") << "";
    std::ofstream(root / "dev/ttyUSB1") << "";
    const fs::path alias = root / "dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10K1B2C-if00-port0";
    fs::create_symlink("../../ttyUSB0", alias);
    fs::create_symlink("../../ttyUSB1", root / "dev/serial/by-id/usb-other-if00-port0");

    flash::ListedPort listed;
    flash::addDeviceFacts(listed, tty.string());
    EXPECT_EQ(listed.usbId, "0403:6001");
    EXPECT_EQ(listed.manufacturer, "FTDI");
    EXPECT_EQ(listed.product, "FT232R USB UART");
    EXPECT_EQ(listed.serial, "A10K1B2C");
    EXPECT_EQ(listed.driver, "ftdi_sio");
    EXPECT_EQ(flash::byIdAlias((root / "dev/ttyUSB0").string(), (root / "dev/serial/by-id").string()), alias.string());
    EXPECT_EQ(flash::byIdAlias((root / "dev/ttyUSB2").string(), (root / "dev/serial/by-id").string()), "");
    fs::remove_all(root);
}

TEST(FlashList, TakesNoFileAndNoPort) {
    for (const auto& args : {std::vector<std::string>{"--list", "fw.bin"}, {"--list", "--port", "/dev/ttyUSB0"}}) {
        const ChildResult r = runChild(kProgram, args);
        EXPECT_EQ(r.exitCode, 2) << dump(r);
        EXPECT_NE(r.errorOutput.find("--list takes no firmware file and no --port"), std::string::npos) << dump(r);
    }
}

}  // namespace
