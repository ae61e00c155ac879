#pragma once
// A small command-line parser: "--name value", "--name=value" and flags, with --help text.
#include <string>
#include <vector>

namespace tools
{
class Options
{
public:
    explicit Options(std::string synopsis) : m_synopsis(std::move(synopsis)) {}
    void flag(const std::string &name, const std::string &help, bool *target);
    void value(const std::string &name, const std::string &metavar, const std::string &help,
               std::string *target);
    void number(const std::string &name, const std::string &help, long long *target);
    void real(const std::string &name, const std::string &help, double *target);
    // Returns false with a message in error; sets helpRequested for --help.
    bool parse(int argc, char **argv, std::string &error);
    bool helpRequested() const { return m_help; }
    std::string helpText() const;
    // The whole start of a tool's run: parses, prints the help text for --help or the error
    // (with "tool: " in front) to stderr. The exit code the tool ends with then (0 after --help,
    // 2 after an error), or -1 when it goes on.
    int parseCommandLine(int argc, char **argv, const char *tool);

private:
    enum class Kind { Flag, Text, Number, Real };
    struct Opt {
        std::string name, metavar, help;
        Kind kind;
        void *target;
    };
    bool assign(const Opt &opt, const std::string &text, std::string &error);
    std::string m_synopsis;
    std::vector<Opt> m_opts;
    bool m_help = false;
};

bool parseLong(const std::string &text, long long &out);
} // namespace tools
