// lindqvar-modem: a GSM modem on a serial line, with the field device at the far end of its calls.
#include "Modem.h"
#include "common/Clock.h"
#include "common/Options.h"

#include <cstdio>

int main(int argc, char **argv)
{
    tools::LineOptions lineOptions;
    tools::IdentOptions ident;
    ModemConfig cfg;
    bool echoOff = false, cregNever = false;
    std::string creg, logPath;
    long long cregAfter = -1, dialDelay = cfg.dialDelayMs, dropAfter = -1, guard = cfg.guardMs;
    long long greetingDelay = cfg.greetingDelayMs;
    tools::Options o(
        "Usage: lindqvar-modem [options]\n"
        "Serves a pseudo-terminal as the line of a GSM modem: AT, ATZ, ATE0/ATE1,\n"
        "AT+CBST=..., AT+CREG?, ATD<number>, ATH, ATO; ERROR to anything else. After CONNECT\n"
        "the far-end device answers (identification and frames) until \"+++\" (with --guard\n"
        "ms of silence around it) and ATH, or until the call is dropped with NO CARRIER\n"
        "(--drop-after or SIGUSR2). The first output line is \"PTY <slave path>\".\n"
        "SIGUSR1 unplugs the line; SIGINT/SIGTERM end the run.");
    lineOptions.addTo(o);
    ident.addTo(o);
    o.flag("echo-off", "start with command echo off (ATE1 turns it on)", &echoOff);
    o.value("creg", "LIST",
            "registration status per AT+CREG? query, the last repeats "
            "(default 1; e.g. 2,2,1 or 5)",
            &creg);
    o.number("creg-after", "answer 0,2 to the first N queries, then 0,1", &cregAfter);
    o.flag("creg-never", "never registered (always 0,2)", &cregNever);
    o.value("dial-result", "R",
            "connect, busy, no-carrier, no-dialtone, no-answer or silence "
            "(default connect)",
            &cfg.dialResult);
    o.number("dial-delay", "ms from ATD to the result (default 2000)", &dialDelay);
    o.value("connect-text", "TEXT", "the connect result (default CONNECT 9600)", &cfg.connectText);
    o.number("drop-after", "drop the call with NO CARRIER N ms after CONNECT", &dropAfter);
    o.number(
        "guard",
        "silence around \"+++\" and the pause ending a bare ATH, in ms, not scaled (default 100)",
        &guard);
    o.value("greeting", "TEXT", "send this text after the line opens", &cfg.greeting);
    o.number("greeting-delay", "ms before the greeting (default 500)", &greetingDelay);
    o.value("log", "FILE",
            "record the dialogue: \"<ms> RX|TX <escaped bytes>\" and "
            "\"<ms> EVENT <name> [detail]\" lines",
            &logPath);
    if (const int exitCode = o.parseCommandLine(argc, argv, "lindqvar-modem"); exitCode >= 0)
        return exitCode;
    std::string error;
    cfg.echo = !echoOff;
    if (!creg.empty() && !parseCregSequence(creg, cfg.cregSequence))
        error = "--creg wants digits separated by commas: " + creg;
    if (cregAfter >= 0)
        cfg.cregSequence = std::vector<int>(size_t(cregAfter), 2), cfg.cregSequence.push_back(1);
    if (cregNever)
        cfg.cregSequence = {2};
    if (!validDialResult(cfg.dialResult))
        error = "unknown --dial-result: " + cfg.dialResult;
    if (dialDelay < 0 || guard < 0 || greetingDelay < 0)
        error = "delays must not be negative";
    if (!error.empty()) {
        std::fprintf(stderr, "lindqvar-modem: %s\n", error.c_str());
        return 2;
    }
    cfg.dialDelayMs = lineOptions.scaled(dialDelay);
    cfg.dropAfterMs = lineOptions.scaled(dropAfter);
    cfg.greetingDelayMs = lineOptions.scaled(greetingDelay);
    cfg.guardMs = guard;
    ident.finish(lineOptions);

    const int64_t start = tools::nowMs();
    DialogueLog log;
    if (!logPath.empty() && !log.open(logPath, start, error)) {
        std::fprintf(stderr, "lindqvar-modem: %s\n", error.c_str());
        return 1;
    }
    tools::Line line(lineOptions);
    line.onWritten = [&log](std::string_view bytes, int64_t now) { log.tx(bytes, now); };
    if (!line.open(error)) {
        std::fprintf(stderr, "lindqvar-modem: %s\n", error.c_str());
        return 1;
    }
    Modem modem(line, log, cfg, ident.config);
    modem.start(tools::nowMs());
    return line.run(modem);
}
