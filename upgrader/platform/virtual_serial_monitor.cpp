#include "upgrader/platform/virtual_serial_monitor.h"

#include <QSocketNotifier>

#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <map>
#include <set>

#include "link/virtual_ports.h"

namespace platform {

namespace {

constexpr const char* kPtyFolder = "/dev/pts";
constexpr std::uint32_t kFolderEvents = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_ATTRIB |
                                        IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR | IN_DONT_FOLLOW;
constexpr std::uint32_t kAboveEvents = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_ATTRIB | IN_ONLYDIR;
constexpr std::uint32_t kPtyEvents = IN_CREATE | IN_DELETE | IN_ONLYDIR;

bool isDirectory(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The closest folder above `path` that exists now.
std::string nearestExistingAbove(std::string path) {
    while (true) {
        const auto slash = path.find_last_of('/');
        if (slash == std::string::npos || slash == 0) return "/";
        path.resize(slash);
        if (isDirectory(path)) return path;
    }
}

}  // namespace

SerialDeviceInfo virtualSerialDeviceInfo(const std::string& name, const std::string& path) {
    return SerialDeviceInfo{path, path, name, name};
}

struct VirtualSerialMonitor::Impl {
    std::string folder;
    Callbacks callbacks;
    std::map<std::string, gimbal::VirtualSerialPort> known;  // by path
    bool listed = false;                                     // known holds a listing (present() or an event)
    int inotifyFd = -1;
    std::map<int, std::string> watches;  // descriptor -> watched path
    std::unique_ptr<QSocketNotifier> notifier;
    std::string error;

    ~Impl() {
        notifier.reset();
        if (inotifyFd >= 0) ::close(inotifyFd);
    }
    void start();
    void watch();
    void drain();
    void noteDeletions(const char* events, std::size_t size, std::set<std::string>& gone);
    void rescan(const std::set<std::string>& gone = {});
};

void VirtualSerialMonitor::Impl::start() {
    if (folder.empty()) {
        error = "no per-user runtime folder for virtual serial ports";
        return;
    }
    inotifyFd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (inotifyFd < 0) {
        error = std::string("inotify: ") + std::strerror(errno);
        return;
    }
    watch();
    notifier = std::make_unique<QSocketNotifier>(inotifyFd, QSocketNotifier::Read);
    QObject::connect(notifier.get(), &QSocketNotifier::activated, [this] { drain(); });
}

// Watches what can change the list now; watches no longer needed go.
void VirtualSerialMonitor::Impl::watch() {
    std::set<int> wanted;
    const auto add = [&](const std::string& path, std::uint32_t mask) {
        const int wd = ::inotify_add_watch(inotifyFd, path.c_str(), mask);
        if (wd < 0) return;
        watches[wd] = path;
        wanted.insert(wd);
    };
    if (isDirectory(folder)) add(folder, kFolderEvents);
    add(nearestExistingAbove(folder), kAboveEvents);
    add(kPtyFolder, kPtyEvents);
    for (auto it = watches.begin(); it != watches.end();) {
        if (wanted.count(it->first)) {
            ++it;
            continue;
        }
        ::inotify_rm_watch(inotifyFd, it->first);
        it = watches.erase(it);
    }
}

// Whatever the events say, the folder is read again: a burst of them costs
// one listing. Only deletions are read from the events: a link removed and
// placed again, or a terminal closed and its number handed out again, lists
// as before, yet it is another device.
void VirtualSerialMonitor::Impl::drain() {
    alignas(inotify_event) std::array<char, 4096> buffer;
    std::set<std::string> gone;  // links and terminals deleted since the last listing
    for (ssize_t n; (n = ::read(inotifyFd, buffer.data(), buffer.size())) > 0;)
        noteDeletions(buffer.data(), static_cast<std::size_t>(n), gone);
    watch();
    rescan(gone);
}

void VirtualSerialMonitor::Impl::noteDeletions(const char* events, std::size_t size, std::set<std::string>& gone) {
    for (std::size_t at = 0; at + sizeof(inotify_event) <= size;) {
        inotify_event event;
        std::memcpy(&event, events + at, sizeof event);
        const std::size_t next = at + sizeof event + event.len;
        if (next > size) break;
        const auto where = watches.find(event.wd);
        if (event.len > 0 && where != watches.end() && (event.mask & (IN_DELETE | IN_MOVED_FROM)))
            gone.insert(where->second + "/" +
                        std::string(events + at + sizeof event, ::strnlen(events + at + sizeof event, event.len)));
        at = next;
    }
}

void VirtualSerialMonitor::Impl::rescan(const std::set<std::string>& gone) {
    std::map<std::string, gimbal::VirtualSerialPort> now;
    for (auto& port : gimbal::listVirtualSerialPorts(folder)) now.emplace(port.path, std::move(port));
    const auto replaced = [&](const gimbal::VirtualSerialPort& port) {
        return gone.count(port.path) > 0 || gone.count(port.target) > 0;
    };
    Batch removed, added;
    for (const auto& [path, port] : known) {
        const auto it = now.find(path);
        if (it == now.end() || !(it->second == port) || replaced(port))
            removed.push_back(virtualSerialDeviceInfo(port.name, path));
    }
    for (const auto& [path, port] : now) {
        const auto it = known.find(path);
        if (it == known.end() || !(it->second == port) || replaced(it->second))
            added.push_back(virtualSerialDeviceInfo(port.name, path));
    }
    known = std::move(now);
    listed = true;
    if (!removed.empty() && callbacks.terminated) callbacks.terminated(removed);
    if (!added.empty() && callbacks.published) callbacks.published(added);
}

VirtualSerialMonitor::VirtualSerialMonitor(std::string folder, Callbacks callbacks) : impl_(std::make_unique<Impl>()) {
    impl_->folder = std::move(folder);
    impl_->callbacks = std::move(callbacks);
    impl_->start();
}

VirtualSerialMonitor::~VirtualSerialMonitor() = default;

VirtualSerialMonitor::Batch VirtualSerialMonitor::present() {
    if (!impl_->listed) {
        for (auto& port : gimbal::listVirtualSerialPorts(impl_->folder))
            impl_->known.emplace(port.path, std::move(port));
        impl_->listed = true;
    }
    Batch batch;
    for (const auto& [path, port] : impl_->known) batch.push_back(virtualSerialDeviceInfo(port.name, path));
    return batch;
}

bool VirtualSerialMonitor::isWatching() const {
    return impl_->notifier != nullptr;
}
std::string VirtualSerialMonitor::error() const {
    return impl_->error;
}

}  // namespace platform
