#include "cli/command_line.h"

#include <algorithm>
#include <charconv>
#include <sstream>

namespace cli {
namespace {

constexpr std::size_t kNameColumn = 30;
constexpr std::size_t kLineWidth = 79;

// `text` in lines of at most `width` characters (a longer word stands alone).
std::string wrapped(const std::string& text, std::size_t width) {
    std::istringstream words(text);
    std::string word;
    std::string out;
    std::size_t lineLength = 0;
    while (words >> word) {
        if (lineLength > 0 && lineLength + 1 + word.size() > width) {
            out += '\n';
            lineLength = 0;
        } else if (lineLength > 0) {
            out += ' ';
            ++lineLength;
        }
        out += word;
        lineLength += word.size();
    }
    return out;
}

// Usage and description first, as man pages and the GNU tools have them;
// a value's default closes its description instead of following its name.
class Layout : public CLI::Formatter {
public:
    Layout() {
        column_width(kNameColumn);
        label("Positionals", "Arguments");
    }

    std::string make_description(const CLI::App*) const override { return {}; }

    std::string make_usage(const CLI::App* app, std::string name) const override {
        std::string usage = "Usage: " + name;
        if (!app->get_options([](const CLI::Option* o) { return o->nonpositional(); }).empty()) usage += " [OPTIONS]";
        for (const CLI::Option* positional : app->get_options([](const CLI::Option* o) { return o->get_positional(); }))
            usage += " " + positional->get_name(true, false);
        return usage + "\n\n" + app->get_description() + "\n\n";
    }

    // One blank line before each group, where CLI11 puts two between them.
    std::string make_group(std::string group, bool positional, std::vector<const CLI::Option*> opts) const override {
        std::string out = group + ":\n";
        for (const CLI::Option* opt : opts) out += make_option(opt, positional);
        return out;
    }

    std::string make_positionals(const CLI::App* app) const override {
        const std::string out = CLI::Formatter::make_positionals(app);
        return out.empty() ? out : out + "\n";
    }

    std::string make_option_name(const CLI::Option* opt, bool positional) const override {
        std::string names = CLI::Formatter::make_option_name(opt, positional);
        for (std::size_t comma = names.find(','); comma != std::string::npos; comma = names.find(',', comma + 2))
            names.insert(comma + 1, " ");
        return names;  // "-h, --help"
    }

    std::string make_option_opts(const CLI::Option* opt) const override {
        if (opt->get_positional() || opt->get_type_size() == 0) return {};
        return " " + opt->get_type_name();
    }

    std::string make_option_desc(const CLI::Option* opt) const override {
        std::string text = opt->get_description();
        if (!opt->get_default_str().empty()) text += " (default " + opt->get_default_str() + ")";
        return wrapped(text, kLineWidth - get_column_width());
    }
};

// "--port: 1 required PATH missing" -> "--port"
std::string optionNamed(const std::string& message) {
    return message.substr(0, message.find_first_of(": "));
}

}  // namespace

std::unique_ptr<CLI::App> makeApp(const std::string& program, const std::string& description,
                                  const std::string& footer) {
    auto app = std::make_unique<CLI::App>(description, program);
    app->formatter(std::make_shared<Layout>());
    app->footer(footer);
    app->set_help_flag();  // addHelp() puts it back after the program's options
    app->option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast)->disable_flag_override();
    return app;
}

void addHelp(CLI::App& app, bool withVersion) {
    app.set_help_flag("-h,--help", "show this text")->group("Help");
    if (withVersion) app.set_version_flag("--version", versionLine(app.get_name()), "show the version")->group("Help");
}

CLI::Validator check(std::function<std::string(std::string&)> test) {
    return CLI::Validator(std::move(test), std::string());
}

CLI::Validator wholeNumber(std::uint64_t min, std::uint64_t max,
                           std::function<std::string(const std::string&)> describe) {
    return check([=](std::string& value) -> std::string {
        std::uint64_t n = 0;
        const char* end = value.data() + value.size();
        const auto [ptr, ec] = std::from_chars(value.data(), end, n);
        if (value.empty() || ec != std::errc() || ptr != end || n < min || n > max) return describe(value);
        value = std::to_string(n);
        return {};
    });
}

Parse parse(CLI::App& app, const std::vector<std::string>& args) {
    // CLI11 reads "--name=" as a bare "--name" and would take the next
    // argument as its value; an empty value was meant, and its check should
    // see it. CLI11 wants the arguments last first.
    std::vector<std::string> reversed;
    bool onlyPositionals = false;
    for (const std::string& arg : args) {
        onlyPositionals = onlyPositionals || arg == "--";
        const std::string name = arg.substr(0, arg.size() - 1);
        const CLI::Option* opt = !onlyPositionals && arg.size() > 3 && arg.starts_with("--") && arg.ends_with('=')
                                     ? app.get_option_no_throw(name)
                                     : nullptr;
        if (opt && opt->get_type_size() != 0) {
            reversed.push_back(name);
            reversed.emplace_back();
        } else {
            reversed.push_back(arg);
        }
    }
    std::reverse(reversed.begin(), reversed.end());

    using Outcome = Parse::Outcome;
    try {
        app.parse(std::move(reversed));
        return {};
    } catch (const CLI::CallForHelp&) {
        return {Outcome::Help, app.help()};
    } catch (const CLI::CallForVersion& e) {
        return {Outcome::Version, e.what()};
    } catch (const CLI::ValidationError& e) {
        // "--baud: wants a rate ..." -> "--baud wants a rate ..."
        const std::string what = e.what();
        const std::string name = optionNamed(what);
        return {Outcome::Error, name + " " + what.substr(std::min(what.size(), name.size() + 2))};
    } catch (const CLI::ArgumentMismatch& e) {
        const std::string what = e.what();
        if (what.find("flag override") != std::string::npos) {
            // Only "--name=value" gives a flag a value; CLI11 names it without dashes.
            const std::string name = optionNamed(what);
            return {Outcome::Error, (name.starts_with("--") ? name : "--" + name) + " takes no value"};
        }
        if (what.ends_with(" missing")) return {Outcome::Error, optionNamed(what) + " needs a value"};
        return {Outcome::Error, what};
    } catch (const CLI::ExtrasError& e) {
        const std::vector<std::string> left = app.remaining();
        if (left.empty()) return {Outcome::Error, e.what()};
        const std::string& first = left.front();
        return {Outcome::Error,
                (first.size() > 1 && first[0] == '-' ? "unknown option " : "unexpected argument ") + first};
    } catch (const CLI::ParseError& e) {
        return {Outcome::Error, e.what()};
    }
}

}  // namespace cli
