// What the flashing bench shows while it watches: on a terminal, one live
// line per gimbal under way under the finished ones, with a running count;
// otherwise plain lines, or one JSON object per event. Lines that others
// print meanwhile (warnings, interruptions) go above the live lines.
// Main thread only.
#pragma once

#include <optional>
#include <ostream>
#include <streambuf>
#include <string>
#include <vector>

#include "upgrader/flash/bench_log.h"
#include "upgrader/flash/reporter.h"
#include "upgrader/flash/session.h"

namespace flash {

struct BenchCounts {
    int upgraded = 0;
    int failed = 0;
    int underWay = 0;
    int leftAlone = 0;  // held by another program when they appeared
    bool operator==(const BenchCounts&) const = default;
};

class BenchDisplay {
public:
    // `columns`: the terminal's width; live lines are cut to it so that
    // each takes exactly one row and can be drawn over.
    BenchDisplay(std::ostream& out, OutputForm form, int columns = 80);
    ~BenchDisplay();

    struct Live {
        std::string port;
        std::string version;
        std::optional<Session::Stand> stand;
        bool operator==(const Live&) const = default;
    };

    void watching(const std::string& file, const std::vector<std::string>& leftAlone);
    void appeared(const std::string& port, const std::string& name);
    void finished(const BenchRecord& record, const BenchCounts& counts);
    // The gimbals under way, redrawn on a terminal.
    void setLive(std::vector<Live> live, const BenchCounts& counts);
    void stopped(const BenchCounts& counts, ExitCode code);
    // A whole line from elsewhere.
    void above(const std::string& line);

private:
    void clearLive();
    void drawLive();
    void jsonLine(const std::string& line);

    std::ostream& out_;
    OutputForm form_;
    std::size_t columns_;
    std::vector<Live> live_;
    BenchCounts counts_;
    std::size_t rowsShown_ = 0;
};

// An output stream whose whole lines go to a display's above().
class AboveStream : public std::ostream {
public:
    explicit AboveStream(BenchDisplay& display);

private:
    class Buffer : public std::streambuf {
    public:
        explicit Buffer(BenchDisplay& display) : display_(display) {}

    protected:
        int overflow(int c) override;

    private:
        BenchDisplay& display_;
        std::string line_;
    };
    Buffer buffer_;
};

// "upgraded in 2.31 s, 48 pages, version 1.23" or
// "send-failed after 30.4 s, 12 pages, version 1.23: why".
std::string finishedText(const BenchRecord& record);

}  // namespace flash
