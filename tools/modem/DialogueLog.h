#pragma once
// The modem's record of its dialogue, one event per line:
//   <ms> RX <bytes>      bytes read from the line
//   <ms> TX <bytes>      bytes written to the line
//   <ms> EVENT <name> [detail]
// <ms> counts from the start of the program. Bytes are escaped: \r \n \\ and \xHH for every
// byte outside printable ASCII, so each event stays on one line.
#include <cstdint>
#include <string>
#include <string_view>

class DialogueLog
{
public:
    DialogueLog() = default;
    ~DialogueLog();
    DialogueLog(const DialogueLog &) = delete;
    DialogueLog &operator=(const DialogueLog &) = delete;
    bool open(const std::string &path, int64_t start, std::string &error);
    void rx(std::string_view data, int64_t now) { write(now, "RX " + escape(data)); }
    void tx(std::string_view data, int64_t now) { write(now, "TX " + escape(data)); }
    void event(const std::string &text, int64_t now) { write(now, "EVENT " + text); }
    static std::string escape(std::string_view data);

private:
    void write(int64_t now, const std::string &text);
    int m_fd = -1;
    int64_t m_start = 0;
};
