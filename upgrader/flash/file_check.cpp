#include "upgrader/flash/file_check.h"

#include <cstdio>

#include "link/firmware_file.h"

namespace flash {

namespace {

std::string hex16(std::uint16_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%04X", static_cast<unsigned>(value));
    return text;
}

}  // namespace

FileCheck checkFile(const std::string& file, const engine::Dialect& dialect) {
    FileCheck check;
    engine::LoadResult r = engine::loadFirmwareImage(file);
    if (!r.image) {
        check.refusal = file + ": " + engine::loadErrorText(r);
        return check;
    }
    if (const auto refusal = dialect.blockSizeAnnounced ? std::nullopt : engine::imageRefusal(*r.image)) {
        check.refusal = file + ": " + engine::refusalText(*refusal);
        return check;
    }
    check.image = std::move(*r.image);
    const auto warning = dialect.blockSizeAnnounced
                             ? std::nullopt
                             : engine::trailingBytesWarning(check.image.binbytes, check.image.pageCount);
    if (warning) check.trailing = file + ": " + *warning;
    const auto header = gimbal::readFirmwareHeader(check.image.binbytes);
    const auto computed = gimbal::computeFirmwareCrc(check.image.binbytes);
    if (header && computed && header->storedCrc != *computed)
        check.crcMismatch = file + ": stored CRC " + hex16(header->storedCrc) + " does not match " + hex16(*computed) +
                            ", the CRC of its contents: the file is damaged or incomplete";
    return check;
}

std::optional<ExitCode> reportFileCheck(const FileCheck& check, const Options& options, Reporter& reporter) {
    if (check.refusal || (check.crcMismatch && !options.ignoreCrc)) {
        reporter.fileRefused(options.file, check.refusal ? *check.refusal
                                                         : *check.crcMismatch +
                                                               "; get it again (--ignore-crc "
                                                               "flashes it anyway)");
        return ExitCode::RefusedFile;
    }
    if (check.crcMismatch)
        reporter.fileWarning(options.file, *check.crcMismatch + "; flashing it anyway (--ignore-crc)");
    if (check.trailing) reporter.fileWarning(options.file, *check.trailing);
    return std::nullopt;
}

}  // namespace flash
