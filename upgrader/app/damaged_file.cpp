#include "upgrader/app/damaged_file.h"

#include <QMessageBox>

#include "link/firmware_file.h"

namespace app {

namespace {

QString hex(std::uint16_t value) {
    return QString::asprintf("0x%04X", static_cast<unsigned>(value));
}

}  // namespace

std::optional<CrcMismatch> crcMismatch(const std::vector<std::uint8_t>& file) {
    const gimbal::ByteView bytes(file.data(), file.size());
    const auto computed = gimbal::computeFirmwareCrc(bytes);
    const auto stored = gimbal::readLe16(bytes, gimbal::kStoredCrcOffset);
    if (!computed || !stored || *computed == *stored) return std::nullopt;
    return CrcMismatch{*stored, *computed};
}

QString damagedFileStatus(const CrcMismatch& mismatch) {
    return QObject::tr("Firmware file damaged: stored CRC %1, computed %2")
        .arg(hex(mismatch.stored), hex(mismatch.computed));
}

bool askToSendDamagedFile(QWidget* parent, const CrcMismatch& mismatch) {
    QMessageBox box(QMessageBox::Warning, QObject::tr("Damaged firmware file"),
                    QObject::tr("The firmware file is damaged: its stored CRC is %1, but its contents give %2.\n\n"
                                "Send it to the gimbal anyway?")
                        .arg(hex(mismatch.stored), hex(mismatch.computed)),
                    QMessageBox::Yes | QMessageBox::No, parent);
    box.setObjectName(QStringLiteral("damagedFileQuestion"));
    box.setDefaultButton(QMessageBox::No);
    box.setEscapeButton(QMessageBox::No);
    // A box closed any other way (the program stopping under it) answers
    // nothing, which is not a "Yes".
    return box.exec() == QMessageBox::Yes;
}

}  // namespace app
