#include "helpformat.h"

#include <sstream>
#include <string>
#include <vector>

namespace
{

const size_t k_text_column = 30;
const size_t k_width = 80;

// LEAD, then TEXT from COLUMN on, wrapped before k_width; a lead that
// leaves less than GAP spaces before the column puts the text on the next
// line.
std::string wrap(const std::string &lead, size_t column, const std::string &text, size_t gap = 2)
{
    std::istringstream words(text);
    std::string out, line = lead, word;
    bool fresh = true;
    if (!line.empty() && line.size() + gap > column) {
        out += line + "\n";
        line.clear();
    }
    while (words >> word) {
        if (!fresh && line.size() + 1 + word.size() >= k_width) {
            out += line + "\n";
            line.clear();
            fresh = true;
        }
        if (fresh) {
            line.resize(column, ' ');
            line += word;
            fresh = false;
        } else {
            line += " " + word;
        }
    }
    return out + line + "\n";
}

std::string entry(const std::string &name, const std::string &text)
{
    return wrap("  " + name, k_text_column, text);
}

// The option's long name where it has one: -o,--output is --output.
std::string long_name(const CLI::Option *opt)
{
    if (!opt->get_lnames().empty())
        return "--" + opt->get_lnames().front();
    return "-" + opt->get_snames().front();
}

class HelpFormatter : public CLI::Formatter
{
  public:
    std::string make_option(const CLI::Option *opt, bool is_positional) const override
    {
        return entry(make_option_name(opt, is_positional) + make_option_opts(opt),
                     make_option_desc(opt));
    }

    // The argument's own name only: the synopsis says what is required.
    std::string make_option_opts(const CLI::Option *opt) const override
    {
        if (opt->get_positional())
            return std::string();
        if (!opt->get_option_text().empty())
            return " " + opt->get_option_text();
        return opt->get_type_name().empty() ? std::string() : " VALUE";
    }

    std::string make_subcommand(const CLI::App *sub) const override
    {
        return entry(sub->get_name(), sub->get_description());
    }

    std::string make_usage(const CLI::App *app, std::string name) const override
    {
        std::string text = synopsis(app, name, false);
        size_t cut = text.find(' ');
        if (cut == std::string::npos)
            return "Usage: " + text + "\n";
        return wrap("Usage: " + text.substr(0, cut), 7 + cut + 1, text.substr(cut + 1), 1);
    }

    std::string make_subcommands(const CLI::App *app, CLI::AppFormatMode mode) const override
    {
        std::vector<const CLI::App *> subs = app->get_subcommands(
            [](const CLI::App *s) { return !s->get_name().empty() && !s->get_disabled(); });
        if (subs.empty())
            return std::string();
        std::string out = "\nCommands:\n";
        for (const CLI::App *sub : subs)
            out += make_subcommand(sub);
        if (mode == CLI::AppFormatMode::All)
            for (const CLI::App *sub : subs)
                out += "\n" + make_expanded(sub);
        return out;
    }

    // A command of --help-all: its synopsis as the heading, its description,
    // then its arguments and options.
    std::string make_expanded(const CLI::App *sub) const override
    {
        std::string parent = sub->get_parent() ? sub->get_parent()->get_name() + " " : "";
        std::string out = synopsis(sub, parent + sub->get_name(), true) + ":\n";
        out += wrap("", 2, sub->get_description());
        std::string list;
        for (const CLI::Option *opt : shown(sub, true))
            list += make_option(opt, true);
        for (const CLI::Option *opt : shown(sub, false))
            list += make_option(opt, false);
        if (!list.empty())
            out += "\n" + list;
        return out;
    }

  private:
    static std::vector<const CLI::Option *> shown(const CLI::App *app, bool positional)
    {
        return app->get_options([app, positional](const CLI::Option *opt) {
            return opt->get_positional() == positional && !opt->get_group().empty() &&
                   opt != app->get_help_ptr() && opt != app->get_help_all_ptr();
        });
    }

    // NAME, the required options with their arguments (or OPTIONS where a
    // one-line heading has no room for them), [OPTIONS] for the others, the
    // arguments, and COMMAND where a command must follow.
    std::string synopsis(const CLI::App *app, const std::string &name, bool heading) const
    {
        std::string required, optional;
        for (const CLI::Option *opt : shown(app, false)) {
            if (opt->get_required())
                required += " " + long_name(opt) + make_option_opts(opt);
            else
                optional = " [OPTIONS]";
        }
        if (heading && name.size() + required.size() + optional.size() > 60)
            required = " OPTIONS";
        std::string out = name + required + optional;
        for (const CLI::Option *opt : shown(app, true))
            out += " " + make_option_usage(opt);
        if (!app->get_subcommands({}).empty())
            out += " COMMAND";
        return out;
    }
};

} // namespace

std::shared_ptr<CLI::Formatter> qxtool_help_formatter()
{
    return std::make_shared<HelpFormatter>();
}
