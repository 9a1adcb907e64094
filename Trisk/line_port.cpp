#include "line_port.h"

#include <QSocketNotifier>

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "link/arbitrary_speed.h"
#include "link/posix_io.h"
#include "link/raw_at_open.h"

namespace trisk {

LinePort::LinePort(QObject* parent) : QObject(parent) {}

LinePort::~LinePort() {
    close();
}

bool LinePort::open(const QString& path, qint32 baud, int* error, const char** failedCall) {
    close();
    const char* failed = "open";
    int code = device_.open(path.toStdString(), failed);
    if (code == 0) code = setFraming(baud, &failed);
    if (code != 0) {
        close();
        *error = code;
        *failedCall = failed;
        return false;
    }
    path_ = path;
    writable_ = new QSocketNotifier(device_.fd(), QSocketNotifier::Write, this);
    writable_->setEnabled(false);
    connect(writable_, &QSocketNotifier::activated, this, &LinePort::drain);
    return true;
}

// The open left the line raw (8 bits, no parity, receiver on, modem lines
// ignored); what is left is one stop bit, no flow control and the speed.
int LinePort::setFraming(qint32 baud, const char** failedCall) {
    const int fd = device_.fd();
    termios t{};
    *failedCall = "tcgetattr";
    if (::tcgetattr(fd, &t) != 0) return errno;
    t.c_cflag &= ~static_cast<tcflag_t>(CSTOPB | CRTSCTS);
    t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    // The C library's table lacks some of the listed rates (14400, 56000, ...).
    const bool inTable = baud > 0 && ::cfsetspeed(&t, static_cast<speed_t>(baud)) == 0;
    *failedCall = "tcsetattr";
    if (gimbal::retryOnInterrupt([&] { return ::tcsetattr(fd, TCSANOW, &t); }) != 0) return errno;
    *failedCall = "set speed";
    if (baud > 0 && !inTable && gimbal::setArbitrarySpeed(fd, static_cast<std::uint32_t>(baud)) != 0) return errno;
    return 0;
}

qint64 LinePort::read(char* data, qint64 max) {
    if (!device_.isOpen() || max <= 0) return -1;
    const ssize_t n = gimbal::retryOnInterrupt([&] { return ::read(device_.fd(), data, static_cast<size_t>(max)); });
    if (n > 0) return n;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return 0;
    fail(n == 0 ? EIO : errno);  // a line that gives nothing while readable has hung up
    return -1;
}

void LinePort::write(const char* data, qint64 len) {
    if (!device_.isOpen() || len <= 0) return;
    pending_.append(data, static_cast<int>(len));
    drain();
}

void LinePort::drain() {
    while (!pending_.isEmpty() && device_.isOpen()) {
        const ssize_t n = gimbal::retryOnInterrupt(
            [&] { return ::write(device_.fd(), pending_.constData(), static_cast<size_t>(pending_.size())); });
        if (n > 0) {
            pending_.remove(0, static_cast<int>(n));
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        fail(n == 0 ? EIO : errno);
        return;
    }
    if (writable_) writable_->setEnabled(!pending_.isEmpty());
}

void LinePort::fail(int error) {
    if (writable_) writable_->setEnabled(false);
    pending_.clear();
    emit lost(QString::fromLocal8Bit(std::strerror(error)));
}

void LinePort::close() {
    // Maybe inside the notifier's own signal (a write that found the line gone).
    if (QSocketNotifier* notifier = std::exchange(writable_, nullptr)) {
        notifier->setEnabled(false);
        notifier->disconnect(this);
        notifier->deleteLater();
    }
    pending_.clear();
    if (!device_.isOpen()) return;
    // The next open must not meet an echoing line (link/raw_at_open.h).
    const termios left = gimbal::attributesToLeaveAtClose(device_.originalAttributes());
    gimbal::retryOnInterrupt([&] { return ::tcsetattr(device_.fd(), TCSANOW, &left); });
    device_.close();
}

}  // namespace trisk
