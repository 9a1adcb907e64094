// The firmware file's checks before any port is touched: refused as the
// window would refuse it, and held to its stored CRC, so that a damaged or
// cut-off download never ends up in a gimbal. The sessions then flash
// exactly the bytes that were checked.
#pragma once

#include <optional>
#include <string>

#include "upgrader/engine/firmware_image.h"
#include "upgrader/flash/options.h"
#include "upgrader/flash/reporter.h"

namespace flash {

struct FileCheck {
    engine::LoadedImage image;           // what was checked; the sessions flash exactly this
    std::optional<std::string> refusal;  // why the file is refused
    std::optional<std::string> crcMismatch;
    std::optional<std::string> trailing;  // bytes after the last page: a warning, not a refusal
};

// The three-axis side learns its block size only from the gimbal: its page
// counts and length are held to it before the first block, not here.
FileCheck checkFile(const std::string& file, const engine::Dialect& dialect = engine::Dialect::pages());

// Reports the check's outcome: the exit code when the file is not to be
// flashed (a CRC mismatch is flashed after a warning with --ignore-crc).
// Bytes after the last page are one warning line.
std::optional<ExitCode> reportFileCheck(const FileCheck& check, const Options& options, Reporter& reporter);

}  // namespace flash
