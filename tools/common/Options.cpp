#include "common/Options.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace tools
{

bool parseLong(const std::string &text, long long &out)
{
    if (text.empty())
        return false;
    char *end = nullptr;
    errno = 0;
    const long long v = std::strtoll(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0')
        return false;
    out = v;
    return true;
}

void Options::flag(const std::string &name, const std::string &help, bool *target)
{
    m_opts.push_back({name, "", help, Kind::Flag, target});
}

void Options::value(const std::string &name, const std::string &metavar, const std::string &help,
                    std::string *target)
{
    m_opts.push_back({name, metavar, help, Kind::Text, target});
}

void Options::number(const std::string &name, const std::string &help, long long *target)
{
    m_opts.push_back({name, "N", help, Kind::Number, target});
}

void Options::real(const std::string &name, const std::string &help, double *target)
{
    m_opts.push_back({name, "F", help, Kind::Real, target});
}

bool Options::assign(const Opt &opt, const std::string &text, std::string &error)
{
    switch (opt.kind) {
    case Kind::Flag:
        *static_cast<bool *>(opt.target) = true;
        return true;
    case Kind::Text:
        *static_cast<std::string *>(opt.target) = text;
        return true;
    case Kind::Number:
        if (!parseLong(text, *static_cast<long long *>(opt.target))) {
            error = "--" + opt.name + ": not a whole number: " + text;
            return false;
        }
        return true;
    case Kind::Real: {
        char *end = nullptr;
        const double v = std::strtod(text.c_str(), &end);
        if (text.empty() || *end != '\0' || !(v > 0)) {
            error = "--" + opt.name + ": not a positive number: " + text;
            return false;
        }
        *static_cast<double *>(opt.target) = v;
        return true;
    }
    }
    return false;
}

bool Options::parse(int argc, char **argv, std::string &error)
{
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            m_help = true;
            return true;
        }
        if (arg.rfind("--", 0) != 0) {
            error = "unexpected argument: " + arg;
            return false;
        }
        std::string name = arg.substr(2), text;
        bool inlineValue = false;
        if (const auto eq = name.find('='); eq != std::string::npos) {
            text = name.substr(eq + 1);
            name = name.substr(0, eq);
            inlineValue = true;
        }
        const Opt *found = nullptr;
        for (const Opt &o : m_opts)
            if (o.name == name)
                found = &o;
        if (!found) {
            error = "unknown option: --" + name;
            return false;
        }
        if (found->kind != Kind::Flag && !inlineValue) {
            if (i + 1 >= argc) {
                error = "--" + name + " needs a value";
                return false;
            }
            text = argv[++i];
        }
        if (!assign(*found, text, error))
            return false;
    }
    return true;
}

std::string Options::helpText() const
{
    std::string out = m_synopsis + "\n\nOptions:\n";
    for (const Opt &o : m_opts) {
        std::string head = "  --" + o.name + (o.metavar.empty() ? "" : " " + o.metavar);
        if (head.size() < 26)
            head.resize(26, ' ');
        else
            head += "\n" + std::string(26, ' ');
        out += head + o.help + "\n";
    }
    out += "  --help                  show this text\n";
    return out;
}

int Options::parseCommandLine(int argc, char **argv, const char *tool)
{
    std::string error;
    if (!parse(argc, argv, error)) {
        std::fprintf(stderr, "%s: %s\n(see --help)\n", tool, error.c_str());
        return 2;
    }
    if (m_help) {
        std::fputs(helpText().c_str(), stdout);
        return 0;
    }
    return -1;
}

} // namespace tools
