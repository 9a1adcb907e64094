// Backed by QUuid, which draws from the system's random source.
#include "upgrader/platform/uuid.h"

#include <QByteArray>
#include <QUuid>

#include <algorithm>
#include <cstdio>
#include <string_view>

namespace platform {

Uuid Uuid::create() {
    const QByteArray raw = QUuid::createUuid().toRfc4122();
    Uuid uuid;
    std::copy_n(raw.constData(), std::min<std::size_t>(static_cast<std::size_t>(raw.size()), uuid.bytes.size()),
                uuid.bytes.begin());
    return uuid;
}

std::string Uuid::string() const {
    std::string text;
    text.reserve(36);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) text += '-';
        char pair[3];
        std::snprintf(pair, sizeof pair, "%02X", bytes[i]);
        text += pair;
    }
    return text;
}

std::size_t Uuid::hash() const {
    return std::hash<std::string_view>{}(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

}  // namespace platform
