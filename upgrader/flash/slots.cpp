#include "upgrader/flash/slots.h"

#include <sys/stat.h>

#include <fstream>
#include <iterator>
#include <set>
#include <sstream>

#include "link/regular_file.h"
#include "link/serial_locks.h"
#include "upgrader/flash/reporter.h"

namespace flash {

namespace {

constexpr std::streamsize kMaxSlotsFile = 1 << 20;

std::string withoutComment(const std::string& line) {
    const std::size_t hash = line.find('#');
    return hash == std::string::npos ? line : line.substr(0, hash);
}

}  // namespace

SlotsRead parseSlots(const std::string& text, const std::string& name) {
    std::vector<Slot> table;
    std::set<std::string> labels, paths;
    std::istringstream lines(text);
    int number = 0;
    for (std::string line; std::getline(lines, line);) {
        ++number;
        std::istringstream words(withoutComment(line));
        Slot slot;
        std::string extra;
        if (!(words >> slot.label)) continue;  // blank or only a comment
        const std::string where = name + ":" + std::to_string(number) + ": ";
        if (!(words >> slot.path) || words >> extra)
            return {std::nullopt, where + "wants a label and one path, as in \"A3 /dev/serial/by-path/...\""};
        if (slot.path.front() != '/') return {std::nullopt, where + "the path \"" + slot.path + "\" is not absolute"};
        if (!labels.insert(slot.label).second)
            return {std::nullopt, where + "the label \"" + slot.label + "\" is given twice"};
        if (!paths.insert(slot.path).second) return {std::nullopt, where + "the path " + slot.path + " is given twice"};
        table.push_back(std::move(slot));
    }
    if (table.empty()) return {std::nullopt, name + ": no slots in it"};
    return {std::move(table), {}};
}

SlotsRead readSlots(const std::string& file) {
    struct stat st {};
    if (::stat(file.c_str(), &st) != 0) return {std::nullopt, file + ": cannot be read"};
    if (!S_ISREG(st.st_mode))
        return {std::nullopt, file + ": not a regular file but " + gimbal::specialFileType(st.st_mode)};
    if (st.st_size > kMaxSlotsFile) return {std::nullopt, file + ": too large for a slots file"};
    std::ifstream in(file, std::ios::binary);
    if (!in) return {std::nullopt, file + ": cannot be read"};
    std::string text(std::istreambuf_iterator<char>(in), {});
    return parseSlots(text, file);
}

bool loadSlots(const std::string& file, Reporter& reporter, std::vector<Slot>& table) {
    if (file.empty()) return true;
    SlotsRead read = readSlots(file);
    if (!read.table) {
        reporter.fileRefused(file, "the slots file is refused: " + read.error, ExitCode::Usage);
        return false;
    }
    table = std::move(*read.table);
    return true;
}

std::string slotOf(const std::vector<Slot>& table, const std::string& port, const std::string& byPath) {
    const std::string device = gimbal::resolvedDevicePath(port);
    for (const Slot& slot : table)
        if (slot.path == port || (!byPath.empty() && slot.path == byPath) ||
            gimbal::resolvedDevicePath(slot.path) == device)
            return slot.label;
    return {};
}

}  // namespace flash
