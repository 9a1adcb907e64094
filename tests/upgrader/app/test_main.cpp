// Test main for the window: an offscreen widget application, the scripted
// device source installed before the port manager's first use, and a private
// session bus (dbus-daemon) for the notification tests.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "app_fixture.h"
#include "upgrader/platform/thread_shutdown.h"
#include "upgrader/serial/kiv_serial_port_manager.h"

extern char** environ;

// Qt 5.15's offscreen platform never frees its screen; nothing of ours.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libqoffscreen.so\nleak:libfontconfig.so\n";
}

namespace {

// Starts `dbus-daemon --session --nofork --print-address`; answers its pid and
// address, or pid 0 when it cannot be run.
pid_t startPrivateBus(std::string& address) {
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) return 0;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    char* argv[] = {const_cast<char*>("dbus-daemon"), const_cast<char*>("--session"), const_cast<char*>("--nofork"),
                    const_cast<char*>("--print-address"), nullptr};
    pid_t pid = 0;
    const int spawned = posix_spawnp(&pid, "dbus-daemon", &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    FILE* reader = ::fdopen(out[0], "r");
    char line[512] = {};
    const bool read = spawned == 0 && reader && std::fgets(line, sizeof line, reader) != nullptr;
    if (reader)
        std::fclose(reader);
    else
        ::close(out[0]);
    if (!read) {
        if (spawned == 0) {
            ::kill(pid, SIGTERM);
            ::waitpid(pid, nullptr, 0);
        }
        return 0;
    }
    address = line;
    while (!address.empty() && (address.back() == '\n' || address.back() == '\r')) address.pop_back();
    return pid;
}

}  // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    const pid_t bus = startPrivateBus(app_test::privateBusAddress());
    if (bus != 0)
        ::setenv("DBUS_SESSION_BUS_ADDRESS", app_test::privateBusAddress().c_str(), 1);
    else
        ::setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/quenlo-test-bus", 1);
    serial::KivSerialPortManager::setDeviceWatcherFactory(app_test::makeScriptedWatcher);
    int result = 0;
    {
        QApplication app(argc, argv);
        const platform::BackgroundThreadsStop stopThreads;
        result = RUN_ALL_TESTS();
    }
    if (bus != 0) {
        ::kill(bus, SIGTERM);
        ::waitpid(bus, nullptr, 0);
    }
    return result;
}
