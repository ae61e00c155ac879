#pragma once

#include <QString>

#include <cstdint>
#include <memory>

// One open serial line behind a port handle. The port operations (COMUtils.h) keep their names
// and results for every kind of line; what a line is (a device file here, a line reached over
// the network) is the business of its implementation.
class TSerialLine
{
public:
    explicit TSerialLine(QString path) : FPath(std::move(path)) {}
    virtual ~TSerialLine() = default;

    // The port-map path the line was opened from.
    const QString &Path() const { return FPath; }
    // False once the line is known to be gone: a network connection that was reset, ended by
    // the server or gave no sign of life. A device file's presence is that of its node instead.
    virtual bool Connected() const { return true; }
    // Whether SetParams reaches the line; a raw network stream leaves speed and control lines to
    // the server at its end.
    virtual bool SetsSpeed() const { return true; }

    // The descriptor that a wait for input polls. It is also the line's handle, unique among
    // the open lines of the process.
    virtual int Descriptor() const = 0;
    // Raw 8N1 at the given speed in bits per second; false, with errno set, when refused.
    virtual bool SetParams(int baudRate) = 0;
    // Discards both directions' queued bytes; false, with errno set, when refused.
    virtual bool Purge() = 0;
    // The modem control lines as an open leaves them: DTR dropped, RTS raised. Lines that have
    // none ignore it.
    virtual void SetOpenControlLines() = 0;
    // Discards input not yet read; output already taken is left to the close.
    virtual void DiscardInput() = 0;
    // Reads the bytes queued now, at most size; never blocks. The count, 0 when nothing is
    // queued, -1 for a fault.
    virtual int Read(char *buffer, int size) = 0;
    // Writes count bytes; the count taken, 0 when nothing was taken, -1 for a fault.
    virtual int Write(const char *data, int count) = 0;
    // Lets written output leave (for a bounded time), releases the line and closes it. False
    // when there was nothing to close.
    virtual bool Close() = 0;

private:
    QString FPath;
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
