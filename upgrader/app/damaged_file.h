// A firmware file whose stored CRC does not match its bytes. Such files still
// load (old ones must keep working), but the window says so and asks before
// it sends one to the gimbal.
#pragma once

#include <QString>

#include <cstdint>
#include <optional>
#include <vector>

class QWidget;

namespace app {

struct CrcMismatch {
    std::uint16_t stored = 0;
    std::uint16_t computed = 0;
};

// Set when the file holds a stored CRC that its bytes do not give.
std::optional<CrcMismatch> crcMismatch(const std::vector<std::uint8_t>& file);

// The status line after loading such a file.
QString damagedFileStatus(const CrcMismatch& mismatch);

// Asks whether to send it anyway, showing both CRCs; "No" is the default, so
// Enter or Escape sends nothing. True only for an explicit "Yes".
bool askToSendDamagedFile(QWidget* parent, const CrcMismatch& mismatch);

}  // namespace app
