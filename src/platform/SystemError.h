#pragma once

#include <QString>

#include <utility>

// What kind of failure a result reports, so that a caller can tell "not yet" from "never" and
// a busy port from a missing one without reading the text.
enum class TFault {
    None,        // success
    NotFound,    // the port, device, file or server name is not there
    Busy,        // held by another program, or by this one already
    Permission,  // not allowed to this user
    Refused,     // the other end said no (connection refused, network unreachable)
    TimedOut,    // no answer within the time allowed
    Pending,     // still under way: ask again later
    Lost,        // was there and has gone (a pulled adapter, a connection ended)
    Unsupported, // the line or the other end cannot do what was asked
    Invalid,     // a value or path that cannot be right
    Other,       // anything else; the reason says what
};

// How the line, port, port map, setup.ini, file and process code reports a failure that its
// caller logs or shows: success, or a failure with its kind and its reason, in the user's
// language where the reason is ours and in the system's words where it is the system's.
// Exceptions are kept for the errors that the window's steps raise to the top-level handler.
class [[nodiscard]] TResult
{
public:
    static TResult Success() { return TResult(); }
    static TResult Failure(QString reason) { return Failure(TFault::Other, std::move(reason)); }
    static TResult Failure(TFault fault, QString reason)
    {
        return TResult(fault == TFault::None ? TFault::Other : fault, std::move(reason));
    }
    // "<what>: <the system's text for error>", of the kind that the error number is.
    static TResult FromErrno(const QString &what, int error);

    bool Ok() const { return FFault == TFault::None; }
    explicit operator bool() const { return Ok(); }
    TFault Fault() const { return FFault; }
    // Why it failed; empty after success.
    const QString &Reason() const { return FReason; }

private:
    TResult() = default;
    TResult(TFault fault, QString reason) : FFault(fault), FReason(std::move(reason)) {}

    TFault FFault = TFault::None;
    QString FReason;
};

// A result that carries a value on success: an opened line, a count of bytes.
template <typename T> class [[nodiscard]] TResultOf
{
public:
    TResultOf(T value) : FValue(std::move(value)) {}
    // A failure; a success without a value is no TResultOf.
    TResultOf(TResult failure) : FResult(std::move(failure)) {}

    bool Ok() const { return FResult.Ok(); }
    explicit operator bool() const { return Ok(); }
    TFault Fault() const { return FResult.Fault(); }
    const QString &Reason() const { return FResult.Reason(); }
    const TResult &Result() const { return FResult; }
    // The value; default-made after a failure.
    T &Value() { return FValue; }
    const T &Value() const { return FValue; }

private:
    T FValue{};
    TResult FResult = TResult::Success();
};

// The kind of failure an error number (errno) is: the one place that sorts them.
TFault FaultOfErrno(int error);
// The system's text for an error number (errno), in the locale's language.
QString ErrnoText(int error);
// "<what>: <the system's text for error>", the usual form of a reason from a failed system call.
QString ErrnoReason(const QString &what, int error);
