#include "window_fixture.h"

#include <QFile>

namespace trisk_test {

gimbal::Bytes pattern(std::size_t size, std::uint8_t seed) {
    gimbal::Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<std::uint8_t>(seed * 37 + i * 7 + i / 251);
    }
    return bytes;
}

gimbal::Bytes updateFile(std::size_t blockSize, std::size_t n1, std::size_t n2, std::size_t n3) {
    return gimbal::composeFirmwareFile(
        {pattern(n1 * blockSize, 1), pattern(n2 * blockSize, 2), pattern(n3 * blockSize, 3)}, blockSize);
}

gimbal::Bytes withCrc(gimbal::Bytes file) {
    if (const auto crc = gimbal::computeFirmwareCrc(file)) {
        file[0] = static_cast<std::uint8_t>(*crc & 0xFF);
        file[1] = static_cast<std::uint8_t>(*crc >> 8);
    }
    return file;
}

gimbal::Bytes imageOf(const gimbal::Bytes& file, std::size_t blockSize, std::size_t image) {
    const auto header = gimbal::readFirmwareHeader(file);
    if (!header) return {};
    const auto offset = gimbal::imageOffset(header->counts, image, blockSize);
    const auto slice = gimbal::sliceAt(file, offset, header->counts[image] * blockSize);
    return slice ? gimbal::Bytes(slice->begin(), slice->end()) : gimbal::Bytes{};
}

WindowTest::WindowTest() : window(std::make_unique<trisk::Widget>()), probe(*window) {
    window->show();
    probe.holdClocks();
    // The start-up scan says why each of this machine's ports it cannot open
    // is left out (as an ordinary user, /dev/ttyS0 and the like): not what
    // the tests look at.
    probe.child<QTextBrowser>("textBrowser")->clear();
}

WindowTest::~WindowTest() {
    window.reset();
    // Let released ports go before the next test.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

void WindowTest::openPort() {
    ASSERT_TRUE(peer.ok());
    probe.openOn(peer.path());
    ASSERT_TRUE(probe.port_open()) << modal.texts().join(QStringLiteral(" / ")).toStdString();
}

QString WindowTest::writeFile(const QString& name, const gimbal::Bytes& bytes) {
    const QString path = dir.filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly)) return {};
    file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<qint64>(bytes.size()));
    return path;
}

void WindowTest::loadFile(const gimbal::Bytes& bytes, const QString& name) {
    modal.chooseFile(writeFile(name, bytes));
    probe.click("BtnOpenFile");
    modal.chooseFile({});
}

std::vector<gimbal::Bytes> WindowTest::framesSent(std::size_t count) {
    waitFor([&] { return framesIn(peer.received()).size() >= count; });
    return framesIn(peer.received());
}

}  // namespace trisk_test
