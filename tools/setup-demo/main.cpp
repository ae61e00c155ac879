// lindqvar-setup-demo: a setup program for the device stand-in. Started with no arguments it
// connects to 127.0.0.1:53462 by itself, runs framed requests one at a time, checks every reply
// and exits 0 only when all were right. The same code builds lindqvar-setup-demo.exe, the
// Windows stand-in that runs under Wine.
#include "Connection.h"
#include "Plan.h"
#include "common/Clock.h"
#include "common/Options.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <vector>

namespace
{

extern "C" void onStop(int)
{
    Connection::stopRequested = true;
}

class Transcript
{
public:
    ~Transcript()
    {
        if (m_file)
            std::fclose(m_file);
    }
    bool open(const std::string &path, std::string &error)
    {
        if (path.empty())
            return true;
#ifdef _WIN32
        m_file = std::fopen(path.c_str(), "w");
#else
        // "e": the transcript is not handed to any program we might start.
        m_file = std::fopen(path.c_str(), "we");
#endif
        if (!m_file)
            error = "cannot write " + path + ": " + std::strerror(errno);
        return m_file != nullptr;
    }
    // Progress for the person watching; the transcript gets the same line when it is a file.
    void say(const std::string &line)
    {
        std::printf("%s\n", line.c_str());
        std::fflush(stdout);
    }
    void record(const std::string &line)
    {
        say(line);
        if (m_file) {
            std::fprintf(m_file, "%s\n", line.c_str());
            std::fflush(m_file);
        }
    }

private:
    std::FILE *m_file = nullptr;
};

std::string describe(const tools::Frame &f)
{
    return "seq " + tools::hex(f.seq, 2) + " type " + tools::hex(f.type, 2) + " length " +
           std::to_string(f.payload.size());
}

} // namespace

int main(int argc, char **argv)
{
    long long port = 53462, exchanges = 20, bulk = 0, timeout = 10000, seed = 1;
    bool forever = false;
    std::string transcriptPath;
    tools::Options o(
        "Usage: lindqvar-setup-demo [options]\n"
        "Connects to 127.0.0.1 by itself (retrying until the endpoint listens), then sends framed\n"
        "requests to the device one at a time (parameter reads and writes, echoes of binary\n"
        "data holding all 256 byte values), checks every reply and writes a transcript. A\n"
        "dropped connection is made again and the unanswered request sent again. Exit status\n"
        "0 only when every exchange was correct. Started without arguments, it reads its\n"
        "options from the environment variable LINDQVAR_SETUP_DEMO_OPTIONS, if set.");
    o.number("port", "TCP port on 127.0.0.1 (default 53462)", &port);
    o.number("exchanges", "number of request/reply exchanges (default 20)", &exchanges);
    o.flag("forever", "keep exchanging until killed", &forever);
    o.number("bulk", "afterwards send N bytes in 4096-byte blocks and report the throughput",
             &bulk);
    o.number("reply-timeout", "ms to wait for each reply (default 10000)", &timeout);
    o.number("seed", "seed of the random payloads (default 1)", &seed);
    o.value("transcript", "FILE", "also write the transcript to FILE", &transcriptPath);
    // The wizard starts a setup program with no arguments at all; a copy it starts takes its
    // options from LINDQVAR_SETUP_DEMO_OPTIONS instead (blank-separated), so that tests and
    // demos can steer it.
    std::vector<std::string> envArgs;
    std::vector<char *> envArgv;
    const char *envOptions = std::getenv("LINDQVAR_SETUP_DEMO_OPTIONS");
    if (argc == 1 && envOptions) {
        std::istringstream words(envOptions);
        envArgs.push_back(argv[0]);
        for (std::string word; words >> word;)
            envArgs.push_back(word);
        for (std::string &arg : envArgs)
            envArgv.push_back(arg.data());
        envArgv.push_back(nullptr);
        argc = int(envArgs.size());
        argv = envArgv.data();
    }
    if (const int exitCode = o.parseCommandLine(argc, argv, "lindqvar-setup-demo"); exitCode >= 0)
        return exitCode;
    std::string error;
    if (port < 1 || port > 65535 || exchanges < 0 || bulk < 0 || timeout < 1) {
        std::fprintf(stderr, "lindqvar-setup-demo: option value out of range\n");
        return 2;
    }
    Transcript out;
    if (!out.open(transcriptPath, error)) {
        std::fprintf(stderr, "lindqvar-setup-demo: %s\n", error.c_str());
        return 1;
    }
    if (!demo::StartSockets(error)) {
        std::fprintf(stderr, "lindqvar-setup-demo: %s\n", error.c_str());
        return 1;
    }
    std::signal(SIGINT, onStop);
    std::signal(SIGTERM, onStop);

    Connection conn(uint16_t(port), [&out](const std::string &s) { out.say(s); });
    Plan plan{uint32_t(seed)};
    uint64_t done = 0, failed = 0;
    auto run = [&](const Exchange &e) {
        tools::Frame reply;
        std::string detail;
        const int64_t start = tools::nowMs();
        const Connection::Outcome r = conn.exchange(e.request, timeout, reply, detail);
        if (r == Connection::Outcome::Stopped)
            return false;
        ++done;
        std::string line = std::to_string(done) + " " + e.kind + " " + describe(e.request) + ": ";
        if (r == Connection::Outcome::Reply && reply.seq == e.expected.seq &&
            reply.type == e.expected.type && reply.payload == e.expected.payload) {
            line += "OK (" + std::to_string(tools::nowMs() - start) + " ms)";
        } else {
            ++failed;
            if (r == Connection::Outcome::Reply && reply.type == tools::ErrorReply)
                detail = "device reported error " +
                         std::to_string(reply.payload.empty() ? 0 : int(uint8_t(reply.payload[0])));
            else if (r == Connection::Outcome::Reply)
                detail = "wrong reply: " + describe(reply) + ", expected " + describe(e.expected);
            line += "FAIL " + detail;
        }
        out.record(line);
        return true;
    };

    out.say("setup stand-in: " +
            (forever ? std::string("exchanging until stopped")
                     : std::to_string(exchanges) + " exchanges") +
            " with the device through 127.0.0.1:" + std::to_string(port));
    bool stopped = false;
    for (uint64_t n = 0; !stopped && (forever || n < uint64_t(exchanges)); ++n)
        stopped = !run(plan.make(n));
    if (!stopped && bulk > 0) {
        const int64_t start = tools::nowMs();
        long long sent = 0;
        for (uint64_t n = 0; sent < bulk; ++n) {
            const size_t size = size_t(std::min<long long>(tools::MaxPayload, bulk - sent));
            if (!run(plan.sink(n, size))) {
                stopped = true;
                break;
            }
            sent += static_cast<long long>(size);
        }
        const int64_t ms = std::max<int64_t>(1, tools::nowMs() - start);
        out.record("bulk: " + std::to_string(sent) + " bytes in " + std::to_string(ms) + " ms, " +
                   std::to_string(sent * 1000 / ms) + " bytes/s");
    }
    const bool ok = failed == 0 && done > 0 && (!stopped || forever);
    out.record(std::string("RESULT ") + (ok ? "OK " : "FAIL ") + std::to_string(done - failed) +
               " of " + std::to_string(done) + " exchanges correct" +
               (stopped && !forever ? ", stopped early" : ""));
    return ok ? 0 : 1;
}
