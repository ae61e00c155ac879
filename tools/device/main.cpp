// lindqvar-device: a field device on a serial line, for tests and demos without hardware.
#include "Clock.h"
#include "DeviceEngine.h"
#include "Line.h"
#include "Options.h"

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
    tools::IdentConfig ident;
    std::string reply;
    long long pieceGap = ident.pieceGapMs;
    tools::Options o(
        "Usage: lindqvar-device [options]\n"
        "Serves a pseudo-terminal as the line of a field device: answers the\n"
        "identification request \"+VER_INFO=?\" and the framed request/reply protocol\n"
        "of the setup stand-in. The first output line is \"PTY <slave path>\".");
    lineOptions.addTo(o);
    o.value("ident", "TEXT",
            "identification fields before OK (default: +VER_INFO: "
            "\"1234\",\"DEMO.1.00\",\"SN0001\"); \\r \\n are unescaped",
            &reply);
    o.flag("ident-echo", "repeat the request before the reply", &ident.echo);
    o.flag("ident-pieces", "send the reply in three pieces", &ident.pieces);
    o.number("piece-gap", "pause between the pieces in ms (default 300)", &pieceGap);
    o.flag("ident-silent", "never answer the identification request", &ident.silent);
    o.flag("ident-no-ok", "answer without the final OK", &ident.noOk);
    o.flag("ident-lower", "answer in lower case", &ident.lower);
    std::string error;
    if (!o.parse(argc, argv, error)) {
        std::fprintf(stderr, "lindqvar-device: %s\n(see --help)\n", error.c_str());
        return 2;
    }
    if (o.helpRequested()) {
        std::fputs(o.helpText().c_str(), stdout);
        return 0;
    }
    if (!reply.empty()) {
        std::string text;
        for (size_t i = 0; i < reply.size(); ++i) {
            if (reply[i] == '\\' && i + 1 < reply.size() &&
                (reply[i + 1] == 'r' || reply[i + 1] == 'n')) {
                text += reply[++i] == 'r' ? '\r' : '\n';
                continue;
            }
            text += reply[i];
        }
        if (text.size() < 2 || text.compare(text.size() - 2, 2, "\r\n") != 0)
            text += "\r\n";
        ident.reply = text;
    }
    ident.pieceGapMs = lineOptions.scaled(pieceGap);
    tools::Line line(lineOptions);
    if (!line.open(error)) {
        std::fprintf(stderr, "lindqvar-device: %s\n", error.c_str());
        return 1;
    }
    DeviceHandler handler(line, ident);
    return line.run(handler);
}
