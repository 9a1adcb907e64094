// Qt Serial Port programs and ours keep out of each other's devices, as root too.
#include <gtest/gtest.h>

#include <QSerialPort>

#include "tests/upgrader/support/pty.h"

namespace serial {

namespace {

TEST(QSerialPortInterop, ADeviceHeldByQSerialPortIsRefused) {
    test_support::Pty pty;
    QSerialPort qt(QString::fromStdString(pty.slavePath()));
    ASSERT_TRUE(qt.open(QIODevice::ReadWrite)) << qt.errorString().toStdString();
    test_support::OpenPort p(pty, false);
    p.port->open();
    EXPECT_FALSE(p.port->isOpen());
    ASSERT_EQ(p.delegate->count(test_support::Event::Error), 1u);
    EXPECT_EQ(p.delegate->errors().front().code, EBUSY);
    qt.close();
    p.port->open();
    EXPECT_TRUE(p.port->isOpen());
    p.closeAndWait();
}

TEST(QSerialPortInterop, QSerialPortCannotOpenADeviceWeHold) {
    test_support::Pty pty;
    test_support::OpenPort p(pty);
    QSerialPort qt(QString::fromStdString(pty.slavePath()));
    EXPECT_FALSE(qt.open(QIODevice::ReadWrite));
    p.closeAndWait();
    EXPECT_TRUE(qt.open(QIODevice::ReadWrite)) << qt.errorString().toStdString();
    qt.close();
}

}  // namespace

}  // namespace serial
