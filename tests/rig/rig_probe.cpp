// Run inside the rig's guest, where udev and real drivers are:
//   rig_probe port-events SECONDS   the port manager's list and its two
//                                   announcements, one line each, for SECONDS
//   rig_probe serial-flags DEVICE   low_latency=0|1 from the driver
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <any>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "upgrader/platform/application.h"
#include "upgrader/platform/notification_center.h"
#include "upgrader/serial/kiv_serial_port_manager.h"

namespace {

using Ports = serial::KivSerialPortManager::Ports;

std::string paths(const Ports& ports) {
    std::string line;
    for (const auto& port : ports) line += (line.empty() ? "" : ",") + port->path();
    return line;
}

void printAnnouncement(const char* what, const platform::Notification& n, const char* key) {
    const auto found = n.userInfo.find(key);
    const Ports ports = found == n.userInfo.end() ? Ports{} : std::any_cast<Ports>(found->second);
    std::printf("%s %s\n", what, paths(ports).c_str());
    std::fflush(stdout);
}

int portEvents(int argc, char** argv, int seconds) {
    platform::Application app(argc, argv);
    const auto manager = serial::KivSerialPortManager::sharedSerialPortManager();
    auto& center = platform::NotificationCenter::defaultCenter();
    int observer = 0;
    center.addObserver(
        &observer, serial::KivSerialPortsWereConnectedNotification, nullptr,
        [](const platform::Notification& n) { printAnnouncement("connected", n, serial::KivConnectedSerialPortsKey); });
    center.addObserver(&observer, serial::KivSerialPortsWereDisconnectedNotification, nullptr,
                       [](const platform::Notification& n) {
                           printAnnouncement("disconnected", n, serial::KivDisconnectedSerialPortsKey);
                       });
    std::printf("listed %s\n", paths(manager->availablePorts()).c_str());
    std::fflush(stdout);
    platform::runMainLoopUntil([] { return false; }, std::chrono::seconds(seconds));
    center.removeObserver(&observer);
    return 0;
}

int serialFlags(const char* device) {
    const int fd = ::open(device, O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    serial_struct serial{};
    if (fd < 0 || ::ioctl(fd, TIOCGSERIAL, &serial) != 0) {
        std::fprintf(stderr, "%s: %s\n", device, std::strerror(errno));
        if (fd >= 0) ::close(fd);
        return 1;
    }
    ::close(fd);
    std::printf("low_latency=%d\n", (serial.flags & ASYNC_LOW_LATENCY) != 0 ? 1 : 0);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "port-events") == 0) return portEvents(argc, argv, std::atoi(argv[2]));
    if (argc == 3 && std::strcmp(argv[1], "serial-flags") == 0) return serialFlags(argv[2]);
    std::fprintf(stderr, "usage: rig_probe port-events SECONDS | serial-flags DEVICE\n");
    return 2;
}
