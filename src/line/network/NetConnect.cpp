#include "line/network/NetConnect.h"

#include "line/network/TcpStream.h"
#include "line/network/TlsStream.h"
#include "platform/Deadline.h"

#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>

namespace
{

using Clock = std::chrono::steady_clock;

struct TAttempt {
    NetConnect::TTarget Target;
    QString Path;
    Clock::time_point Deadline;
    std::mutex Lock;
    std::condition_variable Done;
    bool Finished = false;
    // Set by the taker that gave up on it: the attempt's thread then closes what it made.
    bool Abandoned = false;
    // Set once the name is resolved. The connect and the negotiation keep to the deadline by
    // themselves and report their own reason; only a resolver that hangs is given up from outside.
    std::atomic<bool> Resolved{false};
    Clock::time_point FinishedAt;
    TResult Result = TResult::Success();
    NetConnect::TConnection Connection;
};

std::mutex attemptsMutex;
std::map<QString, std::shared_ptr<TAttempt>> attempts;

TDeadline DeadlineOf(const TAttempt &attempt)
{
    const auto left = attempt.Deadline - Clock::now();
    return TDeadline(left > Clock::duration::zero() ? left : Clock::duration::zero());
}

// Resolves, connects and lets the protocol agree with the server: the connection, or why not.
TResultOf<NetConnect::TConnection> Connect(TAttempt &attempt)
{
    const TResultOf<TTcpStream::TAddresses> addresses =
        TTcpStream::Resolve(attempt.Path, attempt.Target.Address);
    attempt.Resolved = true;
    if (!addresses)
        return addresses.Result();
    TResultOf<std::unique_ptr<TByteStream>> stream =
        TTcpStream::Connect(attempt.Path, addresses.Value(), DeadlineOf(attempt));
    if (!stream)
        return stream.Result();
    if (attempt.Target.Tls) {
        stream = TTlsStream::Secure(attempt.Path, *attempt.Target.Tls, attempt.Target.Address,
                                    std::move(stream.Value()), DeadlineOf(attempt));
        if (!stream)
            return stream.Result();
    }
    NetConnect::TConnection connection;
    connection.Stream = std::move(stream.Value());
    connection.Protocol = attempt.Target.MakeProtocol();
    if (TResult agreed = connection.Protocol->Negotiate(attempt.Path, *connection.Stream,
                                                        DeadlineOf(attempt), connection.Data);
        !agreed)
        return agreed;
    return connection;
}

void Run(const std::shared_ptr<TAttempt> &attempt)
{
    TResultOf<NetConnect::TConnection> made = Connect(*attempt);
    const std::lock_guard lock(attempt->Lock);
    // A given-up attempt's connection closes as it goes out of scope.
    if (attempt->Abandoned)
        return;
    attempt->Connection = std::move(made.Value());
    attempt->Result = made.Result();
    attempt->Finished = true;
    attempt->FinishedAt = Clock::now();
    attempt->Done.notify_all();
}

// Gives the attempt up: its thread closes whatever it still makes.
void Abandon(TAttempt &attempt)
{
    const std::lock_guard lock(attempt.Lock);
    attempt.Abandoned = true;
    attempt.Connection = {};
}

} // namespace

namespace NetConnect
{

TResultOf<TConnection> Take(const QString &path, const TTarget &target,
                            std::chrono::milliseconds patience)
{
    std::shared_ptr<TAttempt> attempt;
    {
        const std::lock_guard lock(attemptsMutex);
        std::shared_ptr<TAttempt> &slot = attempts[path];
        // A connection made long ago and never taken may have been closed by the server
        // meanwhile: it makes way for a new attempt.
        if (slot) {
            const std::lock_guard attemptLock(slot->Lock);
            if (slot->Finished && Clock::now() - slot->FinishedAt > AttemptLimit) {
                slot->Connection = {};
                slot.reset();
            }
        }
        if (!slot) {
            slot = std::make_shared<TAttempt>();
            slot->Target = target;
            slot->Path = path;
            slot->Deadline = Clock::now() + AttemptLimit;
            try {
                std::thread(Run, slot).detach();
            } catch (const std::system_error &error) {
                attempts.erase(path);
                return TResult::Failure(
                    QStringLiteral("%1: %2").arg(path, QString::fromLocal8Bit(error.what())));
            }
        }
        attempt = slot;
    }

    std::unique_lock lock(attempt->Lock);
    attempt->Done.wait_for(lock, patience, [&] { return attempt->Finished; });
    const bool finished = attempt->Finished;
    const bool late = !finished && !attempt->Resolved && Clock::now() >= attempt->Deadline;
    if (!finished && !late)
        return TResult::Failure(TFault::Pending,
                                QStringLiteral("%1: соединение ещё устанавливается").arg(path));
    // A resolver that hangs past the deadline is given up on; otherwise the attempt's outcome.
    TResultOf<TConnection> taken = TResult::Failure(
        TFault::TimedOut,
        QStringLiteral("%1: адрес сервера не найден за %2 с").arg(path).arg(AttemptLimit.count()));
    if (finished && attempt->Result)
        taken = std::move(attempt->Connection);
    else if (finished)
        taken = attempt->Result;
    lock.unlock();
    if (late)
        Abandon(*attempt);
    const std::lock_guard registryLock(attemptsMutex);
    if (const auto it = attempts.find(path); it != attempts.end() && it->second == attempt)
        attempts.erase(it);
    return taken;
}

} // namespace NetConnect
