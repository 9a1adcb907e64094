// Everything quenlo-flash tells the user, as text lines or as one JSON object
// per line and event. Results go to `out`; errors, warnings, interruptions
// and diagnostics go to `err` as text, and with JSON to `out` as well, which
// then carries nothing but JSON. Progress is a redrawn bar when the output is
// a terminal and plain lines (at every tenth and at the end) otherwise.
// Main thread only.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "link/port_diagnosis.h"
#include "upgrader/flash/exit_codes.h"
#include "upgrader/flash/port_list.h"

namespace flash {

enum class OutputForm { Text, Terminal, Json };

// Quiet: summary lines, errors and warnings only. Verbose: also the
// diagnostic lines.
enum class Detail { Quiet, Normal, Verbose };

class Reporter {
public:
    Reporter(std::ostream& out, std::ostream& err, OutputForm form, Detail detail = Detail::Normal)
        : out_(out), err_(err), form_(form), detail_(detail) {}

    void status(const std::string& port, const std::string& text);
    void progress(const std::string& port, int percent);
    // On a terminal only: the port's live line, drawn in place of its bar.
    void live(const std::string& port, const std::string& text);
    void alert(const std::string& port, const std::string& text);
    void warning(const std::string& port, const std::string& text);
    // With a diagnosis, `text` is its text: the line adds the fix, JSON adds
    // the cause, the fix and the holder as fields of their own.
    void failure(const std::string& port, ExitCode code, const std::string& text,
                 const gimbal::PortDiagnosis* why = nullptr);
    // `record`: the unit's record as a JSON object, whose fields a JSON
    // summary carries besides its own.
    void summary(const std::string& port, ExitCode code, const std::string& text,
                 const gimbal::PortDiagnosis* why = nullptr, const std::string& record = {});
    // From now on text lines name `port` by its slot's label, and JSON
    // events about it carry "slot".
    void setSlot(const std::string& port, const std::string& label) { slots_[port] = label; }
    // The label of the port's slot, else the port.
    std::string shown(const std::string& port) const;
    // A session stopped by `signal`; `where` is the MCU and page under way, if any.
    struct Place {
        std::int64_t mcu = 0;
        std::int64_t page = 0;
    };
    void interrupted(const std::string& port, const std::string& signal, ExitCode code, std::optional<Place> where,
                     const std::string& text);
    // --list: a table (with a header on a terminal), or one object per port.
    void portList(const std::vector<ListedPort>& ports);
    // A failure that belongs to no port (the file).
    void fileRefused(const std::string& file, const std::string& text, ExitCode code = ExitCode::RefusedFile);
    void fileWarning(const std::string& file, const std::string& text);
    // The engine's log and print lines, shown only when verbose. Control
    // characters (received bytes read as text) are replaced, so that a line
    // cannot move the cursor or pass for another line.
    void diagnostic(const std::string& port, const std::string& text);

private:
    bool chatty() const { return detail_ != Detail::Quiet; }
    void portLine(const std::string& name, const std::string& port, const std::string& text);
    void line(const std::string& port, const std::string& text);
    void errorLine(const std::string& text);
    void endBar();
    void drawBar();

    std::ostream& out_;
    std::ostream& err_;
    OutputForm form_;
    Detail detail_;
    std::map<std::string, int> percents_;  // last shown, per port
    std::map<std::string, std::string> live_;  // per port, drawn instead of its bar
    std::map<std::string, std::string> slots_;  // port -> its slot's label
    bool barShown_ = false;
};

// The text with the diagnosis' fix, as a person reads it.
std::string withFix(const std::string& text, const gimbal::PortDiagnosis* why);

// `text` as a JSON string literal, quotes included; UTF-8 passes through,
// invalid UTF-8 becomes U+FFFD.
std::string jsonString(const std::string& text);

}  // namespace flash
