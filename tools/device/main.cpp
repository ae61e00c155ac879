// lindqvar-device: a field device on a serial line, for tests and demos without hardware.
#include "common/Clock.h"
#include "common/DeviceEngine.h"
#include "common/Line.h"
#include "common/Options.h"

#include <cstdio>

namespace
{

class DeviceHandler : public tools::LineHandler
{
public:
    DeviceHandler(tools::Line &line, tools::IdentConfig ident) : m_line(line), m_engine(ident) {}
    void onData(std::string_view data, int64_t now) override { emit(m_engine.feed(data, now)); }
    void onTimer(int64_t now) override { emit(m_engine.onDeadline(now)); }
    int64_t deadline() const override { return m_engine.deadline(); }
    void onUnplug(int64_t) override { m_engine.reset(); }

private:
    void emit(const std::vector<tools::OutPiece> &pieces)
    {
        for (const tools::OutPiece &p : pieces)
            m_line.send(p.bytes, p.delayMs);
    }
    tools::Line &m_line;
    tools::DeviceEngine m_engine;
};

} // namespace

int main(int argc, char **argv)
{
    tools::LineOptions lineOptions;
    tools::IdentOptions ident;
    tools::Options o(
        "Usage: lindqvar-device [options]\n"
        "Serves a pseudo-terminal as the line of a field device: answers the\n"
        "identification request \"+VER_INFO=?\" and the framed request/reply protocol\n"
        "of the setup stand-in. The first output line is \"PTY <slave path>\".\n"
        "SIGUSR1 unplugs the line; SIGINT/SIGTERM end the run.\n"
        "\n"
        "With --call-in the device sits behind a cellular router in TCP client mode: the\n"
        "line is a TCP connection to the server HOST:PORT. Every call sends the --id\n"
        "packet first, the --heartbeat packet goes after --heartbeat-every seconds of\n"
        "quiet, and after a drop or a failed call the router calls again (--recall-after).\n"
        "Output lines: \"CALLED <host:port>\" once a call is made and its registration\n"
        "sent, \"DROPPED\" when it ends (either side); SIGUSR1 drops the call.\n"
        "--unplug-after drops the first call after N ms; --replug-after N is --recall-after\n"
        "in ms.");
    lineOptions.addTo(o);
    lineOptions.callIn.addTo(o);
    ident.addTo(o);
    if (const int exitCode = o.parseCommandLine(argc, argv, "lindqvar-device"); exitCode >= 0)
        return exitCode;
    std::string error;
    ident.finish(lineOptions);
    tools::Line line(lineOptions);
    if (!line.configure(error)) {
        std::fprintf(stderr, "lindqvar-device: %s\n(see --help)\n", error.c_str());
        return 2;
    }
    if (!line.open(error)) {
        std::fprintf(stderr, "lindqvar-device: %s\n", error.c_str());
        return 1;
    }
    DeviceHandler handler(line, ident.config);
    return line.run(handler);
}
