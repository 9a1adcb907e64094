#include "upgrader/serial/kiv_serial_device.h"

#include <sys/stat.h>

#include <mutex>

namespace serial {

namespace {

class NodeDevice final : public KivSerialDevice {
public:
    explicit NodeDevice(std::string path) : path_(std::move(path)) {
        const auto slash = path_.find_last_of('/');
        tty_ = slash == std::string::npos ? path_ : path_.substr(slash + 1);
        auto digits = tty_.find_last_not_of("0123456789");
        digits = digits == std::string::npos ? 0 : digits + 1;
        base_ = tty_.substr(0, digits);
        suffix_ = tty_.substr(digits);
    }
    std::optional<std::string> calloutPath() const override { return path_; }
    std::optional<std::string> dialinPath() const override { return path_; }
    std::optional<std::string> ttyName() const override { return tty_; }
    std::optional<std::string> baseName() const override { return base_; }
    std::optional<std::string> serviceType() const override { return std::string(kIOSerialStreamType); }
    std::optional<std::string> suffix() const override { return suffix_; }

private:
    std::string path_, tty_, base_, suffix_;
};

std::mutex sourceMutex;
// Leaked on purpose: looked up from threads that may outlive static destruction.
std::shared_ptr<const KivSerialDeviceSource>* installedSource = new std::shared_ptr<const KivSerialDeviceSource>;

}  // namespace

void setKivSerialDeviceSource(std::shared_ptr<const KivSerialDeviceSource> source) {
    std::lock_guard lock(sourceMutex);
    *installedSource = std::move(source);
}

std::shared_ptr<const KivSerialDeviceSource> kivSerialDeviceSource() {
    std::lock_guard lock(sourceMutex);
    return *installedSource;
}

KivSerialDeviceHandle kivDeviceForNodePath(const std::string& path) {
    return std::make_shared<NodeDevice>(path);
}

KivSerialDeviceHandle kivNodeDevice(const std::string& path) {
    struct stat info {};
    if (path.empty() || ::stat(path.c_str(), &info) != 0 || !S_ISCHR(info.st_mode)) return nullptr;
    return kivDeviceForNodePath(path);
}

}  // namespace serial
