// Why a port cannot be used: a real pseudo-terminal with changed owner and
// mode opened as an ordinary user, real processes holding it, and folders
// standing in for /proc and /sys where the machine has no brltty or
// ModemManager to show.
#include "link/port_diagnosis.h"
#include "tests/support/holding_process.h"

#include <fcntl.h>
#include <grp.h>
#include <pty.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>

#include "link/serial_locks.h"

namespace gimbal {
namespace {

namespace fs = std::filesystem;

struct Terminal {
    Terminal() {
        char name[256] = {};
        ::openpty(&master, &slave, name, nullptr, nullptr);
        ::close(slave);
        path = name;
    }
    ~Terminal() { ::close(master); }
    int master = -1, slave = -1;
    std::string path;
};

using Holder = test_support::HoldingProcess;

// Runs `what` in a child process made into another identity by `become`;
// answers what it wrote, or "" when it could not run.
std::string inChild(const std::function<bool()>& become, const std::function<std::string()>& what) {
    int out[2];
    if (::pipe(out) != 0) return {};
    const pid_t child = ::fork();
    if (child == 0) {
        const std::string text = become() ? what() : std::string();
        (void)!::write(out[1], text.data(), text.size());
        ::_exit(0);
    }
    ::close(out[1]);
    std::string text;
    char buffer[512];
    for (ssize_t n; (n = ::read(out[0], buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<std::size_t>(n));
    ::close(out[0]);
    ::waitpid(child, nullptr, 0);
    return text;
}

std::string describe(const PortDiagnosis& d) {
    return std::string(causeName(d.cause)) + "|" + d.text + "|" + d.hint;
}

bool becomeNobody() {
    return ::setgroups(0, nullptr) == 0 && ::setgid(65534) == 0 && ::setuid(65534) == 0;
}

TEST(PortDiagnosis, PermissionSaysWhichGroupAndWhetherLoggingInAgainIsEnough) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root, to give the device to another group and open it as another user";
    const group* dialout = ::getgrnam("dialout");
    ASSERT_NE(dialout, nullptr);
    Terminal pty;
    ASSERT_EQ(::chown(pty.path.c_str(), 0, dialout->gr_gid), 0);
    ASSERT_EQ(::chmod(pty.path.c_str(), 0660), 0);

    // Not in the group at all: the real refusal, and the command that fixes it.
    const std::string outsider = inChild(becomeNobody, [&] {
        const int fd = ::open(pty.path.c_str(), O_RDWR | O_NOCTTY);
        return fd >= 0 ? std::string("opened") : describe(diagnoseOpenFailure(pty.path, errno));
    });
    EXPECT_EQ(outsider.rfind("permission|", 0), 0u) << outsider;
    EXPECT_NE(outsider.find("crw-rw----, group dialout"), std::string::npos) << outsider;
    EXPECT_NE(outsider.find("sudo usermod -aG dialout \"$USER\""), std::string::npos) << outsider;

    // In the group database (root's own group) but not in this session's groups.
    ASSERT_EQ(::chown(pty.path.c_str(), 0, 0), 0);
    const std::string stale = inChild([] { return ::setgroups(0, nullptr) == 0 && ::setegid(65534) == 0; },
                                      [&] { return describe(diagnoseOpenFailure(pty.path, EACCES)); });
    EXPECT_NE(stale.find("log out and back in (or run `newgrp root`"), std::string::npos) << stale;
}

TEST(PortDiagnosis, BusyNamesTheHolderByPidWhateverWayItHolds) {
    Terminal pty;
    {
        Holder flocker([&] {
            const int fd = ::open(pty.path.c_str(), O_RDWR | O_NOCTTY);
            return fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0;
        });
        ASSERT_TRUE(flocker.held);
        const PortDiagnosis d = diagnoseOpenFailure(pty.path, EBUSY);
        EXPECT_EQ(d.cause, PortCause::Busy);
        ASSERT_TRUE(d.holder) << d.text;
        EXPECT_EQ(d.holder->pid, flocker.pid);
        EXPECT_NE(d.text.find("PID " + std::to_string(flocker.pid)), std::string::npos) << d.text;
    }
    {
        // Without a flock, a lock file holds only while its PID runs the
        // program it names (this test's own executable, forked).
        Holder sleeper([] { return true; });
        const auto dir = lockDirectory();
        ASSERT_TRUE(dir);
        const std::string file = *dir + "/" + lockFileNameFor(pty.path);
        const std::string self = fs::read_symlink("/proc/self/exe").filename().string();
        const std::string id = std::to_string(sleeper.pid);
        for (const std::string& text : {id + "\n" + self + "\nhost\n", "    " + id + " " + self + " root\n"}) {
            std::ofstream(file) << text;
            const PortDiagnosis d = diagnosePort(pty.path);
            EXPECT_EQ(d.cause, PortCause::Busy) << text;
            ASSERT_TRUE(d.holder) << text;
            EXPECT_EQ(d.holder->pid, sleeper.pid);
            EXPECT_EQ(d.holder->program, self);
            EXPECT_EQ(d.holder->how, "lock file " + file);
        }
        for (const std::string& forged : {id + "\nminicom\nhost\n", std::string("1\n\n"), id + "\n"}) {
            std::ofstream(file) << forged;
            EXPECT_EQ(diagnosePort(pty.path).cause, PortCause::Usable) << forged;
        }
        ::unlink(file.c_str());
    }
    {
        Holder opener([&] { return ::open(pty.path.c_str(), O_RDWR | O_NOCTTY) >= 0; });
        ASSERT_TRUE(opener.held);
        const auto holder = findPortHolder(pty.path);
        ASSERT_TRUE(holder);
        EXPECT_EQ(holder->pid, opener.pid);
        EXPECT_EQ(holder->how, "open descriptor");
    }
    EXPECT_EQ(diagnosePort(pty.path).cause, PortCause::Usable) << "a dead holder holds nothing";
}

class FakeSystem : public ::testing::Test {
protected:
    FakeSystem() {
        std::string pattern = (fs::temp_directory_path() / "diag-XXXXXX").string();
        root = ::mkdtemp(pattern.data());
        paths.proc = root + "/proc";
        paths.sys = root + "/sys";
        paths.udevData = root + "/udev";
        paths.serialById = root + "/by-id";
        for (const auto& dir : {paths.proc, paths.sys + "/bus/usb/devices", paths.udevData, paths.serialById})
            fs::create_directories(dir);
    }
    ~FakeSystem() override { fs::remove_all(root); }
    void write(const std::string& file, const std::string& text) {
        fs::create_directories(fs::path(file).parent_path());
        std::ofstream(file) << text << "\n";
    }
    void run(const std::string& command) { write(paths.proc + "/4242/comm", command); }

    std::string root;
    SystemPaths paths;
};

TEST_F(FakeSystem, AGonePortListsWhatIsThereOrBlamesBrltty) {
    write(paths.serialById + "/usb-FTDI_FT232R-if00-port0", "");
    const PortDiagnosis gone = diagnoseOpenFailure("/dev/ttyGONE9", ENOENT, paths);
    EXPECT_EQ(gone.cause, PortCause::Gone);
    EXPECT_EQ(gone.text, "/dev/ttyGONE9 does not exist (unplugged?)");
    EXPECT_NE(gone.hint.find(paths.serialById + "/usb-FTDI_FT232R-if00-port0"), std::string::npos) << gone.hint;

    // A loop of links is a wrong path, not an unplugged adapter.
    const std::string loop = root + "/loop";
    ASSERT_EQ(::symlink(loop.c_str(), loop.c_str()), 0);
    for (const PortDiagnosis& d : {diagnosePort(loop, paths), diagnoseOpenFailure(loop, ELOOP, paths)}) {
        EXPECT_EQ(d.cause, PortCause::Other) << d.text;
        EXPECT_NE(d.text.find(loop + ": "), std::string::npos) << d.text;
        EXPECT_NE(d.hint.find("loop of symbolic links"), std::string::npos) << d.hint;
    }

    // A CH340 plugged in with no serial port while brltty runs.
    const std::string ch340 = paths.sys + "/bus/usb/devices/1-2";
    write(ch340 + "/idVendor", "1a86");
    write(ch340 + "/idProduct", "7523");
    EXPECT_FALSE(brlttyTookAnAdapter(paths)) << "brltty is not running";
    run("brltty");
    const PortDiagnosis taken = diagnoseOpenFailure("/dev/ttyUSB0", ENOENT, paths);
    EXPECT_NE(taken.text.find("brltty"), std::string::npos) << taken.text;
    EXPECT_NE(taken.hint.find("systemctl mask"), std::string::npos) << taken.hint;
    write(paths.sys + "/bus/usb/devices/1-2:1.0/ttyUSB0/dev", "188:0");
    EXPECT_FALSE(brlttyTookAnAdapter(paths)) << "the adapter has its port";
    write(root + "/brltty", "");
    EXPECT_TRUE(brlttyInstalled({root + "/none", root + "/brltty"}));
    EXPECT_FALSE(brlttyInstalled({root + "/none"}));
}

TEST_F(FakeSystem, ModemManagerIsAWarningOnlyForADeviceItWouldProbe) {
    Terminal pty;
    struct stat info {};
    ASSERT_EQ(::stat(pty.path.c_str(), &info), 0);
    const std::string record =
        paths.udevData + "/c" + std::to_string(::major(info.st_rdev)) + ":" + std::to_string(::minor(info.st_rdev));
    run("ModemManager");
    EXPECT_TRUE(portWarnings(pty.path, paths).empty()) << "no udev record: not a device it probes";
    // Holding it, it is named with the fix that keeps it off.
    fs::create_directories(paths.proc + "/4242/fd");
    fs::create_symlink(pty.path, paths.proc + "/4242/fd/3");
    const PortDiagnosis held = diagnoseOpenFailure(pty.path, EBUSY, paths);
    EXPECT_NE(held.text.find("in use by ModemManager (PID 4242; open descriptor), which probes"), std::string::npos)
        << held.text;
    EXPECT_NE(held.hint.find("60-gimbal-serial.rules"), std::string::npos) << held.hint;
    write(record, "E:ID_VENDOR_ID=1a86");
    const auto warnings = portWarnings(pty.path, paths);
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_NE(warnings[0].find("60-gimbal-serial.rules"), std::string::npos) << warnings[0];
    write(record, "E:ID_MM_DEVICE_IGNORE=1");
    EXPECT_TRUE(portWarnings(pty.path, paths).empty());
}

}  // namespace
}  // namespace gimbal
