#pragma once

#include <QString>

#include <utility>

// How the serial, port map, setup.ini, file and process code reports a failure that its caller
// logs or shows: a result that is either success or carries the reason, in the user's language
// where the reason is ours and in the system's words where it is the system's. Exceptions are
// kept for the errors that the window's steps raise to the top-level handler.
class [[nodiscard]] TResult
{
public:
    static TResult Success() { return TResult(); }
    static TResult Failure(QString reason) { return TResult(std::move(reason)); }

    bool Ok() const { return FOk; }
    explicit operator bool() const { return FOk; }
    // Why it failed; empty after success.
    const QString &Reason() const { return FReason; }

private:
    TResult() = default;
    explicit TResult(QString reason) : FOk(false), FReason(std::move(reason)) {}

    bool FOk = true;
    QString FReason;
};

// The system's text for an error number (errno), in the locale's language.
QString ErrnoText(int error);
// "<what>: <the system's text for error>", the usual form of a reason from a failed system call.
QString ErrnoReason(const QString &what, int error);
