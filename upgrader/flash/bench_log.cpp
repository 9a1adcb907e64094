#include "upgrader/flash/bench_log.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <ctime>
#include <filesystem>

#include "link/posix_io.h"
#include "link/regular_file.h"
#include "upgrader/flash/options.h"

namespace flash {

namespace {

using Json = nlohmann::ordered_json;

std::string systemError(int code) {
    return std::strerror(code);
}

Json orNull(const std::string& value) {
    return value.empty() ? Json(nullptr) : Json(value);
}

// A file made just now survives a power cut only once its folder's entry is
// on disk too.
void syncFolderOf(const std::string& path) {
    std::filesystem::path folder = std::filesystem::path(path).parent_path();
    if (folder.empty()) folder = ".";
    const gimbal::UniqueFd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.valid()) gimbal::retryOnInterrupt([&] { return ::fsync(dir.get()); });
}

Json imageJson(const BenchRecord& r) {
    if (!r.image) return nullptr;
    char crc[8];
    std::snprintf(crc, sizeof crc, "0x%04X", r.image->crc);
    Json j = Json::object();
    j["path"] = r.image->path;
    j["sha256"] = r.image->sha256;
    j["crc"] = crc;
    j["counts"] = r.image->counts;
    j["block_size"] = r.blockSize > 0 ? Json(r.blockSize) : Json(nullptr);
    return j;
}

Json adapterJson(const std::optional<AdapterFacts>& adapter) {
    if (!adapter) return nullptr;
    Json j = Json::object();
    j["usb"] = orNull(adapter->usbId);
    j["serial"] = orNull(adapter->serial);
    j["path"] = orNull(adapter->byPath);
    return j;
}

// Read once: the station does not change its name under a bench.
const std::string& stationName() {
    static const std::string name = hostName();
    return name;
}

}  // namespace

const char* resultName(ExitCode code) {
    switch (code) {
        case ExitCode::Ok:
            return "upgraded";
        case ExitCode::SendFailed:
            return "send-failed";
        case ExitCode::DeviceRemoved:
            return "removed";
        case ExitCode::NoVersionReport:
            return "no-version";
        case ExitCode::PortError:
            return "port-error";
        case ExitCode::LeftAlone:
            return "left-alone";
        case ExitCode::HungUp:
        case ExitCode::Interrupted:
        case ExitCode::Terminated:
            return "interrupted";
        case ExitCode::VersionDiffers:
            return "version-differs";
        case ExitCode::Unconfirmed:
            return "unconfirmed";
        case ExitCode::RefusedFile:
            return "refused-file";
        case ExitCode::Internal:
        case ExitCode::Usage:
            break;
    }
    return "internal";
}

std::string isoUtc(std::chrono::system_clock::time_point time) {
    using namespace std::chrono;
    const auto ms = duration_cast<milliseconds>(time.time_since_epoch()).count();
    const std::time_t seconds = static_cast<std::time_t>(ms / 1000 - (ms % 1000 < 0 ? 1 : 0));
    const long millis = static_cast<long>(((ms % 1000) + 1000) % 1000);
    std::tm utc{};
    ::gmtime_r(&seconds, &utc);
    char text[40];
    const std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
    std::snprintf(text + n, sizeof text - n, ".%03ldZ", millis);
    return text;
}

std::string recordJson(const BenchRecord& r) {
    Json j = Json::object();
    j["schema"] = kRecordSchema;
    j["port"] = r.port;
    j["name"] = r.name;
    j["serial"] = orNull(r.serial);
    j["start"] = isoUtc(r.start);
    j["seconds"] = std::round(r.seconds * 1000) / 1000;
    // A log may gather several benches: each record says how it was made.
    j["dialect"] = r.threeAxis ? "three-axis" : "pages";
    j[r.threeAxis ? "blocks" : "pages"] = r.pages;
    j["version"] = orNull(r.version);
    j["result"] = resultName(r.code);
    j["code"] = toInt(r.code);
    j["message"] = r.message;
    j["tool"] = Json{{"name", "quenlo-flash"}, {"version", toolVersion()}};
    j["host"] = orNull(stationName());
    j["image"] = imageJson(r);
    j["adapter"] = adapterJson(r.adapter);
    j["slot"] = orNull(r.slot);
    j["version_before"] = orNull(r.version);
    j["version_after"] = orNull(r.versionAfter);
    // Port names can be any bytes: replaced, never a failed record.
    return j.dump(-1, ' ', false, Json::error_handler_t::replace);
}

// In a folder every user may write to with the sticky bit (/tmp), a link
// that belongs neither to this user nor to the folder's owner was put there
// by someone else, to have this program append where that user may not.
bool foreignLinkInSharedFolder(const std::string& path) {
    struct stat link {
    }, folder{};
    if (::lstat(path.c_str(), &link) != 0 || !S_ISLNK(link.st_mode)) return false;
    const std::string parent = std::filesystem::path(path).parent_path().string();
    if (::stat(parent.empty() ? "." : parent.c_str(), &folder) != 0) return false;
    const bool shared = (folder.st_mode & S_ISVTX) != 0 && (folder.st_mode & S_IWOTH) != 0;
    return shared && link.st_uid != ::geteuid() && link.st_uid != folder.st_uid;
}

// Only a regular file can be forced to disk record by record; a FIFO would
// also block the open until a reader came (O_NONBLOCK keeps it from that).
BenchLog::BenchLog(const std::string& path) : path_(path) {
    std::error_code ec;
    const bool existed = std::filesystem::exists(path, ec);
    if (foreignLinkInSharedFolder(path)) {
        error_ = path + ": a link another user made in a shared folder; give the log file's own path";
        return;
    }
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) {
        error_ = path + ": not a regular file but " + gimbal::specialFileType(st.st_mode);
        return;
    }
    fd_ = gimbal::UniqueFd(gimbal::retryOnInterrupt(
        [&] { return ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0644); }));
    if (!fd_.valid()) {
        error_ = path + ": " + systemError(errno);
        return;
    }
    if (::fstat(fd_.get(), &st) == 0 && !S_ISREG(st.st_mode)) {
        error_ = path + ": not a regular file but " + gimbal::specialFileType(st.st_mode);
        fd_.reset();
        return;
    }
    if (!existed) syncFolderOf(path);
}

namespace {

// Benches that share a log append under its flock, so that between one's
// write and its take-back no other can append. A holder that keeps the lock
// for long (anyone who can read the log can take it) is waited for only
// briefly: the record then goes in without it, never lost for a lock.
class AppendLock {
public:
    explicit AppendLock(int fd) : fd_(fd) {
        constexpr int kTries = 100;  // 10 ms apart: at most about a second
        for (int i = 0; i < kTries && !held_; ++i) {
            held_ = ::flock(fd_, LOCK_EX | LOCK_NB) == 0;
            if (!held_ && errno != EWOULDBLOCK && errno != EINTR) return;
            if (!held_) ::poll(nullptr, 0, 10);
        }
    }
    ~AppendLock() {
        if (held_) ::flock(fd_, LOCK_UN);
    }
    AppendLock(const AppendLock&) = delete;
    AppendLock& operator=(const AppendLock&) = delete;
    bool held() const { return held_; }

private:
    int fd_;
    bool held_ = false;
};

}  // namespace

bool BenchLog::append(const BenchRecord& record) {
    if (!fd_.valid()) return false;
    const AppendLock lock(fd_.get());
    struct stat before {};
    const bool sized = lock.held() && ::fstat(fd_.get(), &before) == 0;
    // One write per line: O_APPEND then keeps each line whole even when two
    // benches share the log.
    const std::string line = recordJson(record) + "\n";
    const gimbal::WriteResult w = gimbal::writeAll(fd_.get(), line);
    int error = w.error;
    if (error == 0 && gimbal::retryOnInterrupt([&] { return ::fdatasync(fd_.get()); }) != 0) error = errno;
    if (error == 0) return true;
    error_ = path_ + ": " + systemError(error);
    if (sized)
        takeBack(before.st_size, w.written);
    else if (w.written > 0)
        error_ += "; the log may end with a part of this record (another program held the log's lock)";
    return false;
}

// A record cut short (a full disk) would have the next one appended onto it,
// and neither could be read: the log goes back to its last whole record.
// Under the append lock no other bench appends meanwhile; a writer that
// takes no lock is still seen by the size and its record kept.
void BenchLog::takeBack(off_t size, std::size_t written) {
    struct stat now {};
    if (written == 0 || ::fstat(fd_.get(), &now) != 0) return;
    if (now.st_size != size + static_cast<off_t>(written)) {
        error_ += "; the log may end with a part of this record";
        return;
    }
    if (gimbal::retryOnInterrupt([&] { return ::ftruncate(fd_.get(), size); }) != 0) {
        error_ += "; a part of this record is left in the log (" + systemError(errno) + ")";
        return;
    }
    gimbal::retryOnInterrupt([&] { return ::fdatasync(fd_.get()); });
}

}  // namespace flash
