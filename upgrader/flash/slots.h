// A station's slots: each physical socket of a bench with a label ("A3"), so
// that lines, the log and the summary name the socket whatever number the
// kernel gave the adapter plugged into it. The slots file has one slot a
// line, a label and a path ("A3 /dev/serial/by-path/pci-0000:00:14.0-usb-0:3:1.0-port0"
// or a device such as /dev/ttyUSB0); '#' starts a comment.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace flash {

class Reporter;

struct Slot {
    std::string label;
    std::string path;
    bool operator==(const Slot&) const = default;
};

struct SlotsRead {
    std::optional<std::vector<Slot>> table;  // none when the file is refused
    std::string error;                       // why, naming the file and line
};

// `name` is the file's, for the errors.
SlotsRead parseSlots(const std::string& text, const std::string& name);
// Reads and parses the file; at most 1 MiB, a regular file.
SlotsRead readSlots(const std::string& file);
// The slots of `file` (none when `file` is empty) into `table`; false when the
// file is refused, which `reporter` is told as a usage error.
bool loadSlots(const std::string& file, Reporter& reporter, std::vector<Slot>& table);

// The label of the slot `port` is plugged into, or empty: a slot whose path
// is the port itself, its by-path link `byPath`, or leads to the same device.
std::string slotOf(const std::vector<Slot>& table, const std::string& port, const std::string& byPath);

}  // namespace flash
