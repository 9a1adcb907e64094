#include "upgrader/flash/bench_display.h"

#include <nlohmann/json.hpp>

#include <cstdio>

#include "link/terminal_text.h"

namespace flash {

namespace {

using Json = nlohmann::ordered_json;

std::string dumped(const Json& value) {
    return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::string leftAloneText(const BenchCounts& c) {
    return c.leftAlone > 0 ? ", left alone " + std::to_string(c.leftAlone) : "";
}

std::string countsText(const BenchCounts& c) {
    return "upgraded " + std::to_string(c.upgraded) + ", failed " + std::to_string(c.failed) + leftAloneText(c) +
           ", under way " + std::to_string(c.underWay);
}

Json withCounts(Json j, const BenchCounts& c) {
    j["upgraded"] = c.upgraded;
    j["failed"] = c.failed;
    j["leftAlone"] = c.leftAlone;
    j["underWay"] = c.underWay;
    return j;
}

std::string seconds(double s) {
    char text[32];
    std::snprintf(text, sizeof text, s < 10 ? "%.2f s" : "%.1f s", s);
    return text;
}

// At most `columns` terminal columns (a CJK character takes two), so the
// live block never wraps and can be drawn over.
std::string fitted(const std::string& text, std::size_t columns) {
    return gimbal::cutToWidth(gimbal::terminalSafe(text), columns);
}

std::string liveText(const BenchDisplay::Live& live) {
    std::string text = live.port + "  ";
    if (live.version.empty()) return text + "waiting for the version report";
    text += "version " + live.version + "  ";
    if (!live.stand) return text + "starting";
    const Session::Stand& s = *live.stand;
    const std::string where = s.threeAxis ? "image " + std::to_string(s.mcu + 1) + ", block "
                                          : "MCU " + std::to_string(s.mcu) + ", page ";
    return text + where + std::to_string(s.page) + " of " + std::to_string(s.pages) + "  " +
           std::to_string(s.percent) + "%";
}

}  // namespace

std::string finishedText(const BenchRecord& r) {
    std::string text = std::string(resultName(r.code)) + (r.code == ExitCode::Ok ? " in " : " after ") +
                       seconds(r.seconds) + ", " + std::to_string(r.pages) + (r.threeAxis ? " blocks" : " pages");
    if (!r.version.empty()) text += ", version " + r.version;
    if (!r.versionAfter.empty()) text += ", restarted with version " + r.versionAfter;
    return r.code == ExitCode::Ok ? text : text + ": " + r.message;
}

BenchDisplay::BenchDisplay(std::ostream& out, OutputForm form, int columns)
    : out_(out), form_(form), columns_(static_cast<std::size_t>(columns > 1 ? columns - 1 : 79)) {}

BenchDisplay::~BenchDisplay() {
    clearLive();
}

void BenchDisplay::jsonLine(const std::string& line) {
    out_ << line << std::endl;
}

// Moves up to the first live row and clears from there down.
void BenchDisplay::clearLive() {
    if (rowsShown_ == 0) return;
    out_ << "\x1b[" << rowsShown_ << "F\x1b[J";
    rowsShown_ = 0;
}

void BenchDisplay::drawLive() {
    for (const Live& live : live_) out_ << fitted("  " + liveText(live), columns_) << '\n';
    out_ << fitted(countsText(counts_) + "; watching for gimbals (Ctrl-C stops)", columns_) << '\n' << std::flush;
    rowsShown_ = live_.size() + 1;
}

// Lines above the live block quote names from outside: made terminal-safe.
void BenchDisplay::above(const std::string& line) {
    clearLive();
    out_ << gimbal::terminalSafe(line) << '\n';
    if (form_ == OutputForm::Terminal)
        drawLive();
    else
        out_ << std::flush;
}

void BenchDisplay::watching(const std::string& file, const std::vector<std::string>& leftAlone) {
    if (form_ == OutputForm::Json) {
        Json j = Json::object();
        j["event"] = "watching";
        j["file"] = file;
        j["leftAlone"] = leftAlone;
        jsonLine(dumped(j));
        return;
    }
    std::string text = "watching for gimbals to upgrade with " + file;
    if (!leftAlone.empty()) {
        text += "; ports present now are left alone:";
        for (const auto& port : leftAlone) text += " " + port;
    }
    above(text);
}

void BenchDisplay::appeared(const std::string& port, const std::string& name) {
    if (form_ == OutputForm::Json) {
        Json j = Json::object();
        j["event"] = "appeared";
        j["port"] = port;
        j["name"] = name;
        jsonLine(dumped(j));
    } else if (form_ == OutputForm::Text) {
        above(port + ": appeared" + (name.empty() || name == port ? "" : " (" + name + ")"));
    }
}

void BenchDisplay::finished(const BenchRecord& record, const BenchCounts& counts) {
    counts_ = counts;
    if (form_ == OutputForm::Json) {
        Json j = Json::parse(recordJson(record), nullptr, false);
        Json e = Json::object();
        e["event"] = "finished";
        for (auto& [key, value] : j.items()) e[key] = value;
        jsonLine(dumped(withCounts(std::move(e), counts)));
        return;
    }
    std::string text = (record.slot.empty() ? record.port : record.slot) + ": " + finishedText(record);
    if (form_ == OutputForm::Text) text += " (" + countsText(counts) + ")";
    above(text);
}

void BenchDisplay::setLive(std::vector<Live> live, const BenchCounts& counts) {
    if (live == live_ && counts == counts_ && rowsShown_ > 0) return;  // nothing new: no flicker
    live_ = std::move(live);
    counts_ = counts;
    if (form_ != OutputForm::Terminal) return;
    clearLive();
    drawLive();
}

void BenchDisplay::stopped(const BenchCounts& counts, ExitCode code) {
    counts_ = counts;
    if (form_ == OutputForm::Json) {
        Json j = withCounts(Json{{"event", "stopped"}}, counts);
        j["code"] = toInt(code);
        jsonLine(dumped(j));
        return;
    }
    clearLive();
    out_ << "stopped watching: upgraded " << counts.upgraded << ", failed " << counts.failed << leftAloneText(counts)
         << std::endl;
}

AboveStream::AboveStream(BenchDisplay& display) : std::ostream(nullptr), buffer_(display) {
    rdbuf(&buffer_);
}

int AboveStream::Buffer::overflow(int c) {
    if (c == traits_type::eof()) return traits_type::not_eof(c);
    if (c == '\n') {
        display_.above(line_);
        line_.clear();
    } else {
        line_ += static_cast<char>(c);
    }
    return c;
}

}  // namespace flash
