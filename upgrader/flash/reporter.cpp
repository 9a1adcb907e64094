#include "upgrader/flash/reporter.h"

#include <nlohmann/json.hpp>

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

// The text with its fix, as a person reads it.
std::string withFix(const std::string& text, const gimbal::PortDiagnosis* why) {
    return why && !why->hint.empty() ? text + ". Fix: " + why->hint : text;
}

void writeLine(std::ostream& out, const Json& object) {
    out << dumped(object) << std::endl;
}

}  // namespace

std::string jsonString(const std::string& text) {
    return dumped(Json(text));
}

void Reporter::endBar() {
    if (!barShown_) return;
    out_ << '\n';
    barShown_ = false;
}

void Reporter::line(const std::string& port, const std::string& text) {
    endBar();
    out_ << port << ": " << text << std::endl;
}

void Reporter::status(const std::string& port, const std::string& text) {
    if (form_ == OutputForm::Json)
        writeLine(out_, withText(event("status", port), text));
    else
        line(port, text);
}

void Reporter::drawBar() {
    constexpr int kWidth = 30;
    std::string bar = "\r";
    for (const auto& [port, percent] : percents_) {
        const int filled = percent * kWidth / 100;
        bar += port + " [" + std::string(static_cast<std::size_t>(filled), '#') +
               std::string(static_cast<std::size_t>(kWidth - filled), ' ') + "] " + std::to_string(percent) + "%  ";
    }
    out_ << bar << std::flush;
    barShown_ = true;
}

void Reporter::progress(const std::string& port, int percent) {
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

void Reporter::alert(const std::string& port, const std::string& text) {
    if (form_ == OutputForm::Json)
        writeLine(out_, withText(event("alert", port), text));
    else
        line(port, "alert: " + text);
}

void Reporter::warning(const std::string& port, const std::string& text) {
    if (form_ == OutputForm::Json)
        writeLine(out_, withText(event("warning", port), text));
    else
        line(port, "warning: " + text);
}

void Reporter::failure(const std::string& port, ExitCode code, const std::string& text,
                       const gimbal::PortDiagnosis* why) {
    if (form_ == OutputForm::Json)
        writeLine(out_, withDiagnosis(withText(withCode(event("error", port), code), text), why));
    else
        line(port, "error: " + withFix(text, why));
}

void Reporter::summary(const std::string& port, ExitCode code, const std::string& text,
                       const gimbal::PortDiagnosis* why) {
    if (form_ == OutputForm::Json) {
        Json j = event("summary", port);
        j["ok"] = code == ExitCode::Ok;
        writeLine(out_, withDiagnosis(withText(withCode(std::move(j), code), text), why));
    } else {
        endBar();
        out_ << "summary: " << port << ": "
             << (code == ExitCode::Ok ? std::string("upgraded")
                                      : "failed (exit " + std::to_string(toInt(code)) + "): " + withFix(text, why))
             << std::endl;
    }
}

void Reporter::interrupted(const std::string& port, const std::string& signal, ExitCode code,
                           std::optional<Place> where, const std::string& text) {
    if (form_ != OutputForm::Json) {
        line(port, text);
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

void Reporter::fileRefused(const std::string& file, const std::string& text) {
    if (form_ == OutputForm::Json)
        writeLine(out_, withText(withCode(event("error", file, "file"), ExitCode::RefusedFile), text));
    else
        out_ << "error: " << text << std::endl;
}

void Reporter::fileWarning(const std::string& file, const std::string& text) {
    if (form_ == OutputForm::Json)
        writeLine(out_, withText(event("warning", file, "file"), text));
    else
        out_ << "warning: " << text << std::endl;
}

}  // namespace flash
