#include "upgrader/platform/sha256.h"

#include <QByteArray>
#include <QCryptographicHash>

#include <algorithm>

namespace platform {

std::string sha256Hex(std::span<const std::uint8_t> bytes) {
    QCryptographicHash hash(QCryptographicHash::Sha256);
    // Added in pieces whose size fits an int on every Qt, through the
    // QByteArray overload that Qt 5 and Qt 6 both take without deprecation.
    constexpr std::size_t kPiece = 1 << 20;
    for (std::size_t at = 0; at < bytes.size(); at += kPiece) {
        const std::size_t n = std::min(kPiece, bytes.size() - at);
        hash.addData(QByteArray::fromRawData(reinterpret_cast<const char*>(bytes.data() + at), static_cast<int>(n)));
    }
    return hash.result().toHex().toStdString();
}

}  // namespace platform
