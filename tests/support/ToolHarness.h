#pragma once
// Starting a stand-in tool and talking to its line from a test.
#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>

// A stand-in tool of the build: in $LINDQVAR_TOOLS_DIR, else in ../tools beside this program.
QString toolPath(const QString &name);

// A tool process whose stdout is read line by line ("PTY <path>", "UNPLUGGED").
class ToolProcess
{
public:
    ToolProcess() = default;
    ~ToolProcess();
    ToolProcess(const ToolProcess &) = delete;
    ToolProcess &operator=(const ToolProcess &) = delete;
    bool start(const QString &tool, const QStringList &args);
    // Starts the tool on the port com of the port map in use and waits until its line is there.
    [[nodiscard]] bool startOnPort(const QString &tool, const QString &com,
                                   const QStringList &args = {});
    // Starts any program (not a stand-in tool) by its path.
    bool startProgram(const QString &program, const QStringList &args);
    qint64 pid() const { return m_proc.processId(); }
    // Waits for the next stdout line that starts with prefix; returns the rest of it.
    QString waitLine(const QString &prefix, int timeoutMs = 20000);
    bool stop(); // SIGTERM; true when it ended with status 0
    void signal(int sig);
    QProcess &process() { return m_proc; }

private:
    QProcess m_proc;
    QByteArray m_out;
};

// The far side of a tool's line: the pty slave opened raw, as a serial port user would.
class LineClient
{
public:
    explicit LineClient(const QString &path);
    ~LineClient();
    LineClient(const LineClient &) = delete;
    LineClient &operator=(const LineClient &) = delete;
    bool isOpen() const { return m_fd >= 0; }
    // Writes every byte; false when the line fails or takes nothing for 10 s.
    [[nodiscard]] bool write(const QByteArray &bytes);
    // Reads until the collected bytes contain needle or the time-out passes; returns them all.
    QByteArray readUntil(const QByteArray &needle, int timeoutMs = 20000);
    // Reads whatever arrives within ms.
    QByteArray readFor(int ms);
    // One read of whatever arrives first.
    QByteArray readSome(int timeoutMs = 20000);

private:
    int m_fd = -1;
    QByteArray m_pending;
};

#include "common/Frame.h"

// Reads one frame (or framing error) of the device protocol from the line; false on time-out.
// Every byte read is appended to raw when given.
bool readFrame(LineClient &line, tools::FrameParser::Event &event, int timeoutMs = 20000,
               QByteArray *raw = nullptr);
QByteArray frameBytes(quint8 seq, quint8 type, const QByteArray &payload);
