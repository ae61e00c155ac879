#pragma once

#include "platform/SystemError.h"

#include <QString>
#include <QStringList>

#include <cstdint>
#include <memory>

class TDeadline;
struct TLineKind;

// One open serial line behind a port handle. The port operations (ports/COMUtils.h) keep their
// names and results for every kind of line; what a line is (a device file, a line reached over
// the network) is the business of its implementation and of its row in the kinds table
// (LineKinds.h), which opens it.
class TSerialLine
{
public:
    TSerialLine(QString path, const TLineKind &kind) : FPath(std::move(path)), FKind(kind) {}
    virtual ~TSerialLine() = default;
    TSerialLine(const TSerialLine &) = delete;
    TSerialLine &operator=(const TSerialLine &) = delete;

    // The port-map path the line was opened from, and its kind.
    const QString &Path() const { return FPath; }
    const TLineKind &Kind() const { return FKind; }
    // False once the line is known to be gone: a network connection that was reset, ended by
    // the server or gave no sign of life. A device file's presence is that of its node instead.
    virtual bool Connected() const { return true; }

    // The descriptor that a wait for input polls. It is also the line's handle, unique among
    // the open lines of the process.
    virtual int Descriptor() const = 0;
    // Whether the line holds input already that its descriptor no longer shows (bytes decoded
    // from the network and not read yet).
    virtual bool HasInput() const { return false; }
    // What the log should say of the line once it is open, beyond that it opened (how its
    // connection is protected, a warning about its configuration); each without the port's name.
    virtual QStringList Notes() const { return {}; }

    // How a wait for input ended.
    enum class TInputWait { Ready, TimedOut, Gone };
    // Waits until there is input to read or the deadline passes. Gone, at once, for a line that
    // is lost or hung up: nothing will ever arrive on it, though its descriptor may say ready.
    TInputWait WaitForInput(const TDeadline &deadline) const;

    // Raw 8N1 at the given speed in bits per second; the failure's reason is the system's text
    // alone, for the caller to put after its own words.
    virtual TResult SetParams(int baudRate) = 0;
    // Discards both directions' queued bytes.
    virtual TResult Purge() = 0;
    // The modem control lines as an open leaves them: DTR dropped, RTS raised. Lines that have
    // none ignore it.
    virtual void SetOpenControlLines() = 0;
    // Discards input not yet read; output already taken is left to the close.
    virtual void DiscardInput() = 0;
    // Reads the bytes queued now, at most size; never blocks. The count, 0 when nothing is
    // queued; a failure for a fault.
    virtual TResultOf<int> Read(char *buffer, int size) = 0;
    // Writes count bytes; the count taken, 0 when nothing was taken in time; a failure for a
    // fault.
    virtual TResultOf<int> Write(const char *data, int count) = 0;
    // Lets written output leave (for a bounded time), releases the line and closes it. A failure
    // when there was nothing to close.
    virtual TResult Close() = 0;

private:
    QString FPath;
    const TLineKind &FKind;
};

// The open lines of the process by handle. The dialer thread and the window thread each open
// and close lines; a line is used by one thread at a time, its owner's.
namespace SerialLines
{

// Takes the line and returns its handle (its descriptor).
std::uint32_t Add(std::unique_ptr<TSerialLine> line);
// The line of a handle; null when the handle names none. Valid until the line is removed.
TSerialLine *Find(std::uint32_t handle);
// Takes the line out of the table; null when the handle names none.
std::unique_ptr<TSerialLine> Remove(std::uint32_t handle);
// Whether a line opened from this path is open and has lost its connection.
bool IsLost(const QString &path);

} // namespace SerialLines
