// What UPDATE START checks before a run: an update file is loaded and holds
// at least its header, and a file that failed its CRC check is sent only on
// the user's word. Without these a run would send whatever the zeroed buffer
// holds and end in "SEND OK".
#include "widget.h"

#include <QMessageBox>

#include "link/firmware_file.h"

namespace trisk {

bool Widget::mayStart() {
    if (!file_loaded) {
        QMessageBox::warning(this, tr("UPDATE"), tr("No update file is loaded: open one with OPEN FILE first."));
        return false;
    }
    if (file_len < gimbal::kFirmwareHeaderSize) {
        QMessageBox::warning(this, tr("UPDATE"),
                             tr("The update file (%1 bytes) is too short to hold its %2-byte header.")
                                 .arg(file_len)
                                 .arg(gimbal::kFirmwareHeaderSize));
        return false;
    }
    const gimbal::ByteView file(file_buf.data(), file_len);
    const std::optional<quint16> computed = gimbal::computeFirmwareCrc(file, crc);
    const std::optional<quint16> stored = gimbal::readLe16(file, gimbal::kStoredCrcOffset);
    if (computed && stored && *computed != *stored) return confirmFailedFile(*computed, *stored);
    return true;
}

// Default "No": Enter or Escape sends nothing.
bool Widget::confirmFailedFile(quint16 computed, quint16 stored) {
    QMessageBox box(QMessageBox::Warning, tr("UPDATE"),
                    tr("The update file failed its check (FILE FAIL): its contents give crc1: %1, "
                       "it says crc2: %2.\n\nSend it anyway?")
                        .arg(QString::number(computed, 16), QString::number(stored, 16)),
                    QMessageBox::Yes | QMessageBox::No, this);
    box.setDefaultButton(QMessageBox::No);
    box.setEscapeButton(QMessageBox::No);
    // A box closed any other way (the program stopping under it) is no "Yes".
    if (box.exec() != QMessageBox::Yes) return false;
    // The box ran the event loop: the port may be gone, or a reply may have
    // moved the sequencer, meanwhile.
    return port_open && send_state == kIdle;
}

}  // namespace trisk
