// The flashing bench's record of each finished upgrade: one JSON object per
// line, appended to the log and forced to disk before the next gimbal is
// told about, since a bench can lose power at any moment.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "link/unique_fd.h"
#include "upgrader/flash/exit_codes.h"
#include "upgrader/flash/unit_facts.h"

namespace flash {

struct BenchRecord {
    std::string port;    // the path opened
    std::string name;    // as the windows show it
    std::string serial;  // the USB serial number; empty when not known
    std::chrono::system_clock::time_point start;
    double seconds = 0;      // from the appearance to the result
    std::int64_t pages = 0;  // acknowledged by the gimbal (blocks, with threeAxis)
    bool threeAxis = false;  // which dialect the bench spoke
    std::string version;     // empty when the gimbal never reported one
    ExitCode code = ExitCode::Ok;
    std::string message;
    // What a production line asks afterwards: which image, through which
    // adapter and slot, and what the gimbal said before and after.
    std::shared_ptr<const ImageFacts> image;  // none: not known (null in the record)
    std::int64_t blockSize = 0;               // bytes per page or block; 0 before the gimbal announced one
    std::optional<AdapterFacts> adapter;      // none for a virtual port
    std::string slot;                         // the slots file's label; empty when in none
    std::string versionAfter;                 // announced after the restart; empty when none was awaited or heard
};

// The record layout's version, written into every record; raised only when
// a field changes meaning or goes away.
inline constexpr int kRecordSchema = 1;

// "upgraded", "send-failed", "removed", "no-version", "port-error",
// "left-alone", "interrupted"; "refused-file" or "internal" for what a bench should not see.
const char* resultName(ExitCode code);
// "2026-12-08T21:03:04.123Z".
std::string isoUtc(std::chrono::system_clock::time_point time);
// The record as one line of JSON, without the newline.
std::string recordJson(const BenchRecord& record);

class BenchLog {
public:
    // Opens `path` for appending (made when missing, never truncated); on
    // failure the reason is in error() and append() refuses.
    explicit BenchLog(const std::string& path);
    bool isOpen() const { return fd_.valid(); }
    const std::string& error() const { return error_; }
    // Writes the record's line and waits until it is on disk. False (with
    // the reason in error()) when it could not be written whole; the log
    // then ends with its last whole record, as before the call.
    bool append(const BenchRecord& record);

private:
    void takeBack(off_t size, std::size_t written);

    std::string path_;
    gimbal::UniqueFd fd_;
    std::string error_;
};

}  // namespace flash
