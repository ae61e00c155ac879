#pragma once

#include "line/SerialLine.h"
#include "platform/SystemError.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <chrono>
#include <cstdint>
#include <functional>

class TCallInListener;

// Stateless operations on serial ports named the system's way (COM1, COM3, ...). The names map
// to device files, or to lines on the network, through the port map (see PortMap.h). None of the
// read, write, open and close operations raises; GetDosDevices and NextDeviceName do
// (std::exception, UTF-8 text).

// A port handle holds the file descriptor; all bits set means no port is open.
using THandle = std::uint32_t;
inline constexpr THandle INVALID_HANDLE_VALUE = 0xFFFFFFFFu;

// The receive buffer size of every read, and of the main window's transfer buffer.
inline constexpr int COM_BUFFER_SIZE = 32768;

// Opens the named port exclusively at the given speed, 8N1, raw, both queues purged, DTR
// dropped and RTS raised; true, or false with the reason for the caller's log. The handle is
// INVALID_HANDLE_VALUE first; it keeps an open handle when the port opened but could not be
// prepared (the caller's CloseCOMPort releases it).
TResult OpenCOMPort(const QString &name, int baudRate, THandle &handle);
// OpenCOMPort that waits for a line on the network, which connects in the background (5 s at
// most): while the attempt is under way, wait is called and the open is tried again. wait
// returns false when the caller gives up; the result is then the last "not yet" (Pending).
TResult OpenCOMPortWaiting(const QString &name, int baudRate, THandle &handle,
                           const std::function<bool()> &wait);
// Whether the line is known to be gone while still open: a network connection that was reset,
// ended by the server or silent for too long. Nothing will ever arrive on such a line.
bool COMPortLost(THandle handle);
// The log lines that follow a successful open of the port of the name: who sets the speed where
// it is not set from here (a raw network stream leaves it to the server at its end), then what
// the line says of itself (see TSerialLine::Notes).
QStringList OpenedPortNotes(THandle handle, const QString &name);
// Waits at most wait until the line has input to read: also input it holds already, decoded,
// that its descriptor no longer shows. Gone, at once, for no line or a line that is lost or hung
// up.
TSerialLine::TInputWait WaitCOMInput(THandle handle, std::chrono::nanoseconds wait);
// Applies the line settings at the given speed (non-standard speeds included).
bool SetCOMPortParams(THandle handle, int baudRate);
// Discards unread input, lets written output drain for a short bounded time (discarding it only
// when that time runs out), releases the locks and closes. True also when there was nothing to
// close; the variable becomes INVALID_HANDLE_VALUE after a successful close.
bool CloseCOMPort(THandle &handle);
// Discards input not yet read (the stand-in for cancelling pending transfers); output the driver
// has taken is left to the close's drain.
void CancelCOMIo(THandle handle);
// Reads exactly the bytes queued now, at most bufferSize; the rest stays queued. Never blocks.
// Returns the count, 0 when nothing is queued or the queue cannot be read, -1 for a fault.
int ReadCOMPort(THandle handle, char *buffer, int bufferSize = COM_BUFFER_SIZE);
// ReadCOMPort into a buffer of its own; the string is empty after 0 or -1.
void ReadCOMString(THandle handle, QByteArray &data);
// Writes count bytes; returns the count the driver took, 0 when it took nothing, -1 for a fault.
int WriteCOMPort(THandle handle, const char *data, int count);
int WriteCOMString(THandle handle, const QByteArray &data);

// Fills the list with the port names (from the port map) whose device is present now, in map
// order, keeping those that begin with the prefix (case-sensitive). Raises, before the list is
// touched, when the map cannot be read. When newly found hardware could not be added to the map,
// the list holds what the map holds and *discovery says why.
void GetDosDevices(QStringList &list, const QString &prefix, TResult *discovery = nullptr);
// Walks a NUL-separated multi-string: the name at pos (from 1), pos moves behind its NUL.
// Raises std::out_of_range("aStartPos должен быть больше 0") for pos below 1.
void NextDeviceName(const QString &text, int &pos, QString &name);
// "%d: %s" lines for the present ports: "<description> (COMn)".
void GetPortFriendlyNames(QStringList &list);
// Listens for the devices that call in, as the port map says now (see TCallInListener::Follow).
// An unreadable map changes nothing.
void ListenForCalls(TCallInListener &listener);
// "<name>: <why>" for the ports of the map that are not there and whose kind can say why (a
// device that calls in: where it is awaited, whether it called, the last caller refused).
void GetAbsentPortReasons(QStringList &list);
// Whether a line of the friendly-name listing ends in the name in parentheses (any letter case):
// the whole name, so COM1 is not present while only COM12 is. Reads the port map and tests the
// paths; never runs hardware discovery.
bool IsCOMPortPresent(const QString &name);
