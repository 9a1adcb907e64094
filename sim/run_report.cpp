#include "sim/run_report.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sstream>

#include "link/posix_io.h"
#include "link/unique_fd.h"

namespace sim {
namespace {

constexpr std::size_t kToolSegments = 3;

bool writeFile(const std::string& path, const Bytes& data, std::string* error) {
    const auto failed = [&](int code) {
        if (error) *error = "write " + path + ": " + std::strerror(code);
        return false;
    };
    gimbal::UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!fd.valid()) return failed(errno);
    if (const int code = gimbal::writeAll(fd.get(), data).error; code != 0) return failed(code);
    // close() reports late write errors (a full disk on some filesystems).
    if (::close(fd.release()) != 0) return failed(errno);
    return true;
}

std::string indexRanges(const std::map<std::uint16_t, Bytes>& blocks) {
    std::ostringstream out;
    auto it = blocks.begin();
    while (it != blocks.end()) {
        const unsigned first = it->first;
        unsigned last = first;
        while (++it != blocks.end() && it->first == last + 1) last = it->first;
        if (first != blocks.begin()->first) out << ", ";
        out << first;
        if (last != first) out << '-' << last;
    }
    return out.str();
}

}  // namespace

namespace {

std::string runHeading(std::size_t run, std::size_t runs, RunStart start) {
    std::string line = "run " + std::to_string(run + 1) + " of " + std::to_string(runs);
    switch (start) {
        case RunStart::First:
            return line + ", from the start:";
        case RunStart::EnterRequest:
            return line + ", begun by an enter request after the gimbal came up again:";
        case RunStart::FirstBlockAgain:
            return line + ", begun by block 0 again after a run with two switches:";
    }
    return line + ":";
}

// Calls `file(name, blocks)` for every file of every upgrade, in order, and
// makes the summary lines; stops at the first file that returns false.
template <class File>
bool forEachSegmentFile(const GimbalSim& sim, Dialect dialect, std::vector<std::string>& summary, File file) {
    const std::vector<RunInfo> runs = sim.runs();
    for (std::size_t run = 0; run < runs.size(); ++run) {
        if (runs.size() > 1) summary.push_back(runHeading(run, runs.size(), runs[run].start));
        std::size_t segments = std::max(kToolSegments, runs[run].segments);
        while (segments > kToolSegments && sim.runBlocks(run, segments - 1).empty()) --segments;
        for (std::size_t s = 0; s < segments; ++s) {
            const std::map<std::uint16_t, Bytes> blocks = sim.runBlocks(run, s);
            const std::string name = runFilePrefix(run) + segmentFileName(dialect, s);
            if (!file(name, blocks)) return false;
            summary.push_back(segmentSummary(name, blocks));
        }
    }
    return true;
}

}  // namespace

std::string runFilePrefix(std::size_t run) {
    return run == 0 ? std::string() : "run" + std::to_string(run + 1) + "-";
}

std::string segmentFileName(Dialect dialect, std::size_t segment) {
    if (dialect == Dialect::Pages) return "mcu" + std::to_string(segment) + ".bin";
    return "image" + std::to_string(segment + 1) + ".bin";
}

std::string segmentSummary(const std::string& name, const std::map<std::uint16_t, Bytes>& blocks) {
    std::size_t bytes = 0;
    for (const auto& [index, data] : blocks) bytes += data.size();
    std::ostringstream out;
    out << name << ": " << blocks.size() << (blocks.size() == 1 ? " block" : " blocks");
    if (!blocks.empty()) out << " (" << indexRanges(blocks) << ')';
    out << ", " << bytes << " bytes";
    return out.str();
}

std::string statsSummary(const Stats& s) {
    std::ostringstream out;
    out << "frames " << s.framesReceived << ", bad CRC " << s.badCrcFrames << ", malformed " << s.malformedFrames
        << ", other address " << s.otherAddressFrames << ", stale partial " << s.stalePartialFrames << ", enter "
        << s.enterRequests << ", blocks " << s.blockFrames << ", switches " << s.switchRequests << ", announcements "
        << s.announcementsSent << ", replies due " << s.repliesDue << ", replies sent " << s.repliesSent
        << ", hang-ups " << s.hangups << ", reopens " << s.reopens;
    return out.str();
}

bool writeSegmentFiles(const GimbalSim& sim, Dialect dialect, const std::string& dir, std::vector<std::string>& summary,
                       std::string* error) {
    return forEachSegmentFile(sim, dialect, summary,
                              [&](const std::string& name, const std::map<std::uint16_t, Bytes>& blocks) {
                                  Bytes data;
                                  for (const auto& [index, bytes] : blocks)
                                      data.insert(data.end(), bytes.begin(), bytes.end());
                                  return writeFile(dir + "/" + name, data, error);
                              });
}

std::vector<std::string> segmentSummaries(const GimbalSim& sim, Dialect dialect) {
    std::vector<std::string> summary;
    forEachSegmentFile(sim, dialect, summary,
                       [](const std::string&, const std::map<std::uint16_t, Bytes>&) { return true; });
    return summary;
}

bool writeSummaryFile(const std::string& dir, const std::vector<std::string>& lines, std::string* error) {
    std::string text;
    for (const std::string& line : lines) text += line + '\n';
    return writeFile(dir + "/" + kSummaryFileName, Bytes(text.begin(), text.end()), error);
}

}  // namespace sim
