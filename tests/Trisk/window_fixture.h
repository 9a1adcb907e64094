// A window on a pseudo-terminal, its modal boxes answered by the test, and
// helpers to write update files and to wait on conditions.
#pragma once

#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <memory>

#include "link/firmware_file.h"
#include "modal_handler.h"
#include "pty_peer.h"
#include "widget.h"
#include "widget_probe.h"

namespace trisk_test {

// Generous: a loaded machine or a sanitizer build must never fail a test.
inline constexpr int kDeadlineMs = 20000;

template <typename Pred>
bool waitFor(Pred pred, int ms = kDeadlineMs) {
    return QTest::qWaitFor(pred, ms);
}

// Distinct, position-dependent bytes, so a block sent from the wrong place shows.
gimbal::Bytes pattern(std::size_t size, std::uint8_t seed);
// An update file of n1, n2 and n3 blocks, with a matching stored CRC.
gimbal::Bytes updateFile(std::size_t blockSize, std::size_t n1, std::size_t n2, std::size_t n3);
// `file` with its stored CRC made to hold again (after a test changed it).
gimbal::Bytes withCrc(gimbal::Bytes file);
// The bytes of image `image` (0 to 2) of such a file.
gimbal::Bytes imageOf(const gimbal::Bytes& file, std::size_t blockSize, std::size_t image);

class WindowTest : public ::testing::Test {
protected:
    WindowTest();
    ~WindowTest() override;

    // Opens the window's port on the peer through the window.
    void openPort();
    // Writes `bytes` to a temporary file and loads it through the file dialog.
    QString writeFile(const QString& name, const gimbal::Bytes& bytes);
    void loadFile(const gimbal::Bytes& bytes, const QString& name = QStringLiteral("update.bin"));
    // Sound frames the window has sent so far, waiting until there are `count`.
    std::vector<gimbal::Bytes> framesSent(std::size_t count);

    QTemporaryDir dir;
    ModalHandler modal;
    PtyPeer peer;
    std::unique_ptr<trisk::Widget> window;
    WidgetProbe probe;
};

}  // namespace trisk_test
