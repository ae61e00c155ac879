#pragma once

#include "platform/SystemError.h"

#include <QStringList>
#include <QtGlobal>

#include <atomic>
#include <chrono>

class TDeadline;

// A connection that carries bytes both ways, under a line's protocol: TCP, or a layer over it.
// Receiving never waits; sending waits only while the other end takes nothing, for a bounded
// time. A connection that fails or is ended by the other end is lost for good, and says why.
class TByteStream
{
public:
    virtual ~TByteStream() = default;
    TByteStream(const TByteStream &) = delete;
    TByteStream &operator=(const TByteStream &) = delete;

    // The descriptor a wait for input polls.
    virtual int Descriptor() const = 0;
    // Whether bytes have been received and are held where the descriptor no longer shows them
    // (a decrypting layer's records); plain TCP holds none.
    virtual bool HasBuffered() const { return false; }
    // Takes what has arrived, at most size bytes, without waiting: the count, 0 when nothing has
    // arrived or the connection is lost.
    virtual qsizetype Receive(char *buffer, qsizetype size) = 0;
    // Sends bytes, waiting for room while the other end takes nothing for stall (the wait starts
    // again after any progress). How many went out: fewer when it stalled or was lost.
    virtual qsizetype Send(const char *bytes, qsizetype size, std::chrono::milliseconds stall) = 0;
    // Gives sent bytes at most drain to be acknowledged, takes input still unread (closing over
    // it would reset the connection and could lose what is on its way out) and closes.
    virtual void Close(std::chrono::milliseconds drain) = 0;

    // Waits until there is something to receive, or the end of the connection, or the deadline;
    // whether there is.
    bool WaitReadable(const TDeadline &deadline) const;

    // What the log should say of the connection once the line is open (how it is protected, a
    // warning about its configuration); nothing for plain TCP.
    virtual QStringList Notes() const { return {}; }

    // Whether the connection has gone, and why; safe to ask from any thread.
    bool Lost() const { return FLost; }
    // Why the connection was lost (for the owner's thread); success while it was not.
    const TResult &Failure() const { return FFailure; }

protected:
    TByteStream() = default;
    // Marks the connection lost; the first reason stays.
    void SetLost(TResult why);

private:
    std::atomic<bool> FLost{false};
    TResult FFailure = TResult::Success();
};
