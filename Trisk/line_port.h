// The window's open serial port. The device is taken through the shared
// exclusive open (link/exclusive_open.h), never through Qt Serial Port's own
// locking: that reads whatever sits at the lock path whole and opens it
// blocking, and the lock folder is anyone's. Reads are polled by the window;
// writes are queued and handed to the line as it takes them.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

#include <termios.h>

#include "link/exclusive_open.h"

class QSocketNotifier;

namespace trisk {

class LinePort : public QObject {
    Q_OBJECT

public:
    explicit LinePort(QObject* parent = nullptr);
    ~LinePort() override;

    // Opens `path` read-write at `baud` bit/s (0: the speed is left as it
    // is), 8 data bits, no parity, one stop bit, no flow control. On failure
    // `error` holds the errno and `failedCall` names the call.
    bool open(const QString& path, qint32 baud, int* error, const char** failedCall);
    // Up to `max` received bytes, without waiting: 0 when none wait, -1 when
    // the line failed (lost() is emitted).
    qint64 read(char* data, qint64 max);
    // Queues `len` bytes; they reach the line as fast as it takes them.
    void write(const char* data, qint64 len);
    // Puts the line's attributes back (echo off) and lets the device go.
    void close();

    bool isOpen() const { return device_.isOpen(); }
    int handle() const { return device_.fd(); }
    const QString& portName() const { return path_; }
    // What sat at the lock path and could not be removed; empty when nothing.
    const std::string& keptLockFile() const { return device_.keptLockFile(); }

signals:
    // The line hung up or failed (adapter pulled out, pty master closed).
    void lost(const QString& why);

private:
    int setFraming(qint32 baud, const char** failedCall);
    void drain();
    void fail(int error);

    gimbal::ExclusiveDevice device_;
    QString path_;
    QByteArray pending_;
    QSocketNotifier* writable_ = nullptr;
};

}  // namespace trisk
