#include "upgrader/flash/reporter.h"

#include <nlohmann/json.hpp>

#include "link/terminal_text.h"

#include <algorithm>
#include <array>

namespace flash {

namespace {

// Keys stay in the order written: scripts and tests read whole lines.
using Json = nlohmann::ordered_json;

// One line's text. UTF-8 is kept as it is; invalid UTF-8 (a port or file
// name can be any bytes) becomes U+FFFD instead of failing the report.
std::string dumped(const Json& value) {
    return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

// {"event":name,"port":subject}, or "file" for a line about the file.
Json event(const char* name, const std::string& subject, const char* about = "port") {
    Json j = Json::object();
    j["event"] = name;
    j[about] = subject;
    return j;
}

Json withText(Json j, const std::string& text) {
    j["text"] = text;
    return j;
}

Json withCode(Json j, ExitCode code) {
    j["code"] = toInt(code);
    j["kind"] = std::string(exitCodeName(code));
    return j;
}

// "cause", "hint", "holderPid", "holderProgram": scripts need not parse the text.
Json withDiagnosis(Json j, const gimbal::PortDiagnosis* why) {
    if (!why) return j;
    j["cause"] = gimbal::causeName(why->cause);
    if (!why->hint.empty()) j["hint"] = why->hint;
    if (why->holder) {
        j["holderPid"] = why->holder->pid;
        if (!why->holder->program.empty()) j["holderProgram"] = why->holder->program;
    }
    return j;
}

void writeLine(std::ostream& out, const Json& object) {
    out << dumped(object) << std::endl;
}

void putIfKnown(Json& j, const char* key, const std::string& value) {
    if (!value.empty()) j[key] = value;
}

Json portObject(const ListedPort& port) {
    Json j = Json::object();
    j["event"] = "port";
    j["path"] = port.path;
    j["name"] = port.name;
    putIfKnown(j, "byId", port.byId);
    putIfKnown(j, "usb", port.usbId);
    putIfKnown(j, "manufacturer", port.manufacturer);
    putIfKnown(j, "product", port.product);
    putIfKnown(j, "serial", port.serial);
    putIfKnown(j, "driver", port.driver);
    j["state"] = stateName(port.state.cause);
    putIfKnown(j, "text", port.state.text);
    return withDiagnosis(std::move(j), &port.state);
}

constexpr std::size_t kColumns = 6;
using Row = std::array<std::string, kColumns>;

// Every cell made terminal-safe: names and USB strings come from outside.
Row portRow(const ListedPort& port) {
    const auto orDash = [](const std::string& s) { return s.empty() ? std::string("-") : gimbal::terminalSafe(s); };
    return {gimbal::terminalSafe(port.path), orDash(port.name), orDash(port.usbId),
            orDash(port.serial), orDash(port.driver), stateName(port.state.cause)};
}

// Columns by display width: a CJK name takes two columns a character.
void writeRow(std::ostream& out, const Row& row, const std::array<std::size_t, kColumns>& widths) {
    std::string text;
    for (std::size_t i = 0; i < kColumns; ++i)
        text += i + 1 < kColumns ? row[i] + std::string(widths[i] - gimbal::displayWidth(row[i]) + 2, ' ') : row[i];
    out << text << '\n';
}

// The lines under a port's row: what does not fit a column, and for a port
// that cannot be used, why and the fix (for one that can, who has it open).
void writeDetails(std::ostream& out, const ListedPort& port) {
    using gimbal::terminalSafe;
    if (!port.byId.empty()) out << "  by-id: " << terminalSafe(port.byId) << '\n';
    if (!port.manufacturer.empty() || !port.product.empty())
        out << "  device: " << terminalSafe(port.manufacturer)
            << (port.manufacturer.empty() || port.product.empty() ? "" : ", ") << terminalSafe(port.product) << '\n';
    const bool usable = port.state.cause == gimbal::PortCause::Usable;
    if (!port.state.text.empty()) out << (usable ? "  note: " : "  why: ") << terminalSafe(port.state.text) << '\n';
    if (!port.state.hint.empty()) out << "  fix: " << terminalSafe(port.state.hint) << '\n';
}

}  // namespace

std::string withFix(const std::string& text, const gimbal::PortDiagnosis* why) {
    return why && !why->hint.empty() ? text + ". Fix: " + why->hint : text;
}

std::string jsonString(const std::string& text) {
    return dumped(Json(text));
}

std::string Reporter::shown(const std::string& port) const {
    const auto slot = slots_.find(port);
    return slot == slots_.end() ? port : slot->second;
}

// Writes one JSON event about `port`, with its slot when it has one.
void Reporter::portLine(const std::string& name, const std::string& port, const std::string& text) {
    Json j = withText(event(name.c_str(), port), text);
    if (const auto slot = slots_.find(port); slot != slots_.end()) j["slot"] = slot->second;
    writeLine(out_, j);
}

void Reporter::endBar() {
    if (!barShown_) return;
    out_ << '\n' << std::flush;
    barShown_ = false;
}

// Text lines are made terminal-safe whole: what they quote (port and file
// names, lock-file and USB strings) comes from outside the program.
void Reporter::line(const std::string& port, const std::string& text) {
    endBar();
    out_ << gimbal::terminalSafe(shown(port) + ": " + text) << std::endl;
}

// Ends the bar first: both streams are often the same terminal.
void Reporter::errorLine(const std::string& text) {
    endBar();
    err_ << gimbal::terminalSafe(text) << std::endl;
}

void Reporter::status(const std::string& port, const std::string& text) {
    if (!chatty()) return;
    if (form_ == OutputForm::Json)
        portLine("status", port, text);
    else
        line(port, text);
}

void Reporter::drawBar() {
    constexpr int kWidth = 30;
    std::string bar = "\r";
    for (const auto& [port, percent] : percents_) {
        const int filled = percent * kWidth / 100;
        bar += gimbal::terminalSafe(shown(port)) + " [" + std::string(static_cast<std::size_t>(filled), '#') +
               std::string(static_cast<std::size_t>(kWidth - filled), ' ') + "] " + std::to_string(percent) + "%  ";
        if (const auto text = live_.find(port); text != live_.end()) bar += gimbal::terminalSafe(text->second) + "  ";
    }
    // A shorter line than the last leaves nothing of it behind.
    if (!live_.empty()) bar += "\033[K";
    out_ << bar << std::flush;
    barShown_ = true;
}

void Reporter::progress(const std::string& port, int percent) {
    if (!chatty()) return;
    const auto known = percents_.find(port);
    if (known != percents_.end() && known->second == percent) return;
    const int before = known == percents_.end() ? -1 : known->second;
    percents_[port] = percent;
    if (form_ == OutputForm::Json) {
        Json j = event("progress", port);
        j["percent"] = percent;
        writeLine(out_, j);
    } else if (form_ == OutputForm::Terminal) {
        drawBar();
    } else if (before < 0 || percent / 10 != before / 10 || percent == 100) {
        line(port, "progress " + std::to_string(percent) + "%");
    }
}

void Reporter::live(const std::string& port, const std::string& text) {
    if (!chatty() || form_ != OutputForm::Terminal) return;
    const auto shown = live_.find(port);
    if (shown != live_.end() && shown->second == text) return;
    live_[port] = text;
    percents_.try_emplace(port, 0);
    drawBar();
}

void Reporter::alert(const std::string& port, const std::string& text) {
    if (!chatty()) return;
    if (form_ == OutputForm::Json)
        portLine("alert", port, text);
    else
        line(port, "alert: " + text);
}

void Reporter::warning(const std::string& port, const std::string& text) {
    if (form_ == OutputForm::Json)
        portLine("warning", port, text);
    else
        errorLine(shown(port) + ": warning: " + text);
}

void Reporter::failure(const std::string& port, ExitCode code, const std::string& text,
                       const gimbal::PortDiagnosis* why) {
    if (form_ == OutputForm::Json)
        writeLine(out_, withDiagnosis(withText(withCode(event("error", port), code), text), why));
    else
        errorLine(shown(port) + ": error: " + withFix(text, why));
}

// On standard output whatever the outcome: a script reading it sees every
// port's result; the failure itself was also told on standard error.
void Reporter::summary(const std::string& port, ExitCode code, const std::string& text,
                       const gimbal::PortDiagnosis* why, const std::string& record) {
    if (form_ == OutputForm::Json) {
        Json j = event("summary", port);
        j["ok"] = code == ExitCode::Ok;
        j = withDiagnosis(withText(withCode(std::move(j), code), text), why);
        const Json fields = Json::parse(record, nullptr, false);
        if (fields.is_object())
            for (const auto& [key, value] : fields.items())
                if (!j.contains(key)) j[key] = value;
        writeLine(out_, j);
    } else {
        endBar();
        out_ << gimbal::terminalSafe("summary: " + shown(port) + ": " +
                                     (code == ExitCode::Ok ? std::string("upgraded")
                                                           : "failed (exit " + std::to_string(toInt(code)) +
                                                                 "): " + withFix(text, why)))
             << std::endl;
    }
}

void Reporter::interrupted(const std::string& port, const std::string& signal, ExitCode code,
                           std::optional<Place> where, const std::string& text) {
    if (form_ != OutputForm::Json) {
        errorLine(shown(port) + ": " + text);
        return;
    }
    Json j = event("interrupted", port);
    j["signal"] = signal;
    j = withCode(std::move(j), code);
    if (where) {
        j["mcu"] = where->mcu;
        j["page"] = where->page;
    }
    writeLine(out_, withText(std::move(j), text));
}

void Reporter::portList(const std::vector<ListedPort>& ports) {
    if (form_ == OutputForm::Json) {
        for (const auto& port : ports) writeLine(out_, portObject(port));
        return;
    }
    if (ports.empty()) {
        out_ << "no serial ports found" << std::endl;
        return;
    }
    const Row header{"PATH", "NAME", "USB", "SERIAL", "DRIVER", "STATE"};
    std::array<std::size_t, kColumns> widths{};
    for (std::size_t i = 0; i < kColumns; ++i) widths[i] = header[i].size();
    for (const auto& port : ports) {
        const Row row = portRow(port);
        for (std::size_t i = 0; i < kColumns; ++i) widths[i] = std::max(widths[i], gimbal::displayWidth(row[i]));
    }
    // Read by people first: the columns named, and what a "-" in them means.
    writeRow(out_, header, widths);
    for (const auto& port : ports) {
        writeRow(out_, portRow(port), widths);
        writeDetails(out_, port);
    }
    out_ << "-: not known (not a USB device, or the device does not say)" << std::endl;
}

void Reporter::fileRefused(const std::string& file, const std::string& text, ExitCode code) {
    if (form_ == OutputForm::Json)
        writeLine(out_, withText(withCode(event("error", file, "file"), code), text));
    else
        errorLine("error: " + text);
}

void Reporter::fileWarning(const std::string& file, const std::string& text) {
    if (form_ == OutputForm::Json)
        writeLine(out_, withText(event("warning", file, "file"), text));
    else
        errorLine("warning: " + text);
}

void Reporter::diagnostic(const std::string& port, const std::string& text) {
    if (detail_ != Detail::Verbose) return;
    errorLine(shown(port) + ": " + text);
}

}  // namespace flash
