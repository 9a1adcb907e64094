#include "upgrader/flash/reporter.h"

#include <cstdio>

namespace flash {

std::string jsonString(const std::string& text) {
    std::string s = "\"";
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            s += '\\';
            s += c;
        } else if (c == '\n') {
            s += "\\n";
        } else if (c == '\r') {
            s += "\\r";
        } else if (c == '\t') {
            s += "\\t";
        } else if (u < 0x20 || u == 0x7F) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", u);
            s += buf;
        } else {
            s += c;
        }
    }
    return s + "\"";
}

namespace {

std::string jsonHead(const char* event, const std::string& port) {
    return std::string("{\"event\":\"") + event + "\",\"port\":" + jsonString(port);
}

}  // namespace

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
        out_ << jsonHead("status", port) << ",\"text\":" << jsonString(text) << "}" << std::endl;
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
        out_ << jsonHead("progress", port) << ",\"percent\":" << percent << "}" << std::endl;
    } else if (form_ == OutputForm::Terminal) {
        drawBar();
    } else if (before < 0 || percent / 10 != before / 10 || percent == 100) {
        line(port, "progress " + std::to_string(percent) + "%");
    }
}

void Reporter::alert(const std::string& port, const std::string& text) {
    if (form_ == OutputForm::Json)
        out_ << jsonHead("alert", port) << ",\"text\":" << jsonString(text) << "}" << std::endl;
    else
        line(port, "alert: " + text);
}

void Reporter::warning(const std::string& port, const std::string& text) {
    if (form_ == OutputForm::Json)
        out_ << jsonHead("warning", port) << ",\"text\":" << jsonString(text) << "}" << std::endl;
    else
        line(port, "warning: " + text);
}

void Reporter::failure(const std::string& port, ExitCode code, const std::string& text) {
    if (form_ == OutputForm::Json)
        out_ << jsonHead("error", port) << ",\"code\":" << toInt(code) << ",\"kind\":\"" << exitCodeName(code)
             << "\",\"text\":" << jsonString(text) << "}" << std::endl;
    else
        line(port, "error: " + text);
}

void Reporter::summary(const std::string& port, ExitCode code, const std::string& text) {
    if (form_ == OutputForm::Json) {
        out_ << jsonHead("summary", port) << ",\"ok\":" << (code == ExitCode::Ok ? "true" : "false")
             << ",\"code\":" << toInt(code) << ",\"kind\":\"" << exitCodeName(code)
             << "\",\"text\":" << jsonString(text) << "}" << std::endl;
    } else {
        endBar();
        out_ << "summary: " << port << ": "
             << (code == ExitCode::Ok ? std::string("upgraded")
                                      : "failed (exit " + std::to_string(toInt(code)) + "): " + text)
             << std::endl;
    }
}

void Reporter::fileRefused(const std::string& file, const std::string& text) {
    if (form_ == OutputForm::Json)
        out_ << "{\"event\":\"error\",\"file\":" << jsonString(file) << ",\"code\":" << toInt(ExitCode::RefusedFile)
             << ",\"kind\":\"" << exitCodeName(ExitCode::RefusedFile) << "\",\"text\":" << jsonString(text) << "}"
             << std::endl;
    else
        out_ << "error: " << text << std::endl;
}

}  // namespace flash
