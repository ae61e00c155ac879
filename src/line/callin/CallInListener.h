#pragma once

#include "line/callin/CallInOptions.h"
#include "log/BurstCount.h"
#include "platform/SystemError.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QObject>
#include <QString>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

// Devices that call in: listens where the port map's "listen://" lines say, sorts the callers by
// their registration and keeps each line's device waiting until a link takes its connection. A
// thread of its own accepts, reads registrations and watches the waiting devices, so a caller is
// served while the window thread relays a link; everything it shares is behind one lock, and the
// window hears of it through the signals below (queued to its thread).
//
// A port open to the network must not be a way in. Nothing listens unless the port map says so.
// A caller must register within 10 s and 256 bytes; at most 64 callers may be unregistered at
// once; a waiting device's bytes are counted and dropped as they come, so nothing is kept for
// it. Refused callers are logged once per address and then counted (TBurstCount).
class TCallInListener : public QObject
{
    Q_OBJECT

public:
    // A port-map line: the port's name and its path.
    struct TPort {
        QString Name;
        QString Path;
    };
    // A device's connection handed to a link.
    struct TCall {
        int Fd = -1;
        std::uint64_t Number = 0; // which call it is, for GiveBack
        QByteArray Heartbeat;     // what its router sends when the line was quiet
    };

    static constexpr std::chrono::seconds RegistrationLimit{10};
    static constexpr int MaxUnregistered = 64;
    // How long an unregistered caller may be quiet before the bytes it sent are judged as they
    // stand (a shorter registration, or none, when a longer one is still possible).
    static constexpr std::chrono::milliseconds SettleQuiet{500};
    static constexpr std::uint32_t BurstMs = 10000;

    explicit TCallInListener(QObject *parent = nullptr);
    ~TCallInListener() override;

    // The listener of the process, which the port operations use; null while there is none.
    static TCallInListener *Current();

    // Listens for the "listen://" lines among the ports and stops for those no longer there;
    // what starts, a warning for a line open to anyone, and a failure to listen go to the log.
    // On the window thread.
    void Follow(const QList<TPort> &ports);

    // The rest may be called from any thread.
    // Takes the waiting device's connection for a link; the bytes it sent before are dropped
    // and their count logged. A failure says why the device is not there.
    TResultOf<TCall> Take(const QString &path);
    // The connection of a call taken comes back from its link: while alive and still the
    // line's latest call, its device waits again; otherwise it is closed.
    void GiveBack(const QString &path, std::uint64_t number, int fd, bool alive);
    // Whether the line's device is there: waiting, or in a link that has not lost it.
    bool IsPresent(const QString &path) const;
    // The port list's description of a present device.
    QString Describe(const QString &path) const;
    // Why the line's device is not there, in words for the log.
    QString WhyAbsent(const QString &path) const;

signals:
    void Log(const QString &message);
    // A device called, dropped or came back from a link: the port list may have changed.
    void DevicesChanged();

private:
    using Clock = std::chrono::steady_clock;
    struct TSocket;
    struct TCaller;
    struct TLine;

    void Run();
    void Wake() const;
    // The parts of one round of the thread, under the lock; messages collect in FOut.
    void Accept(TSocket &socket);
    void ReadCaller(TCaller &caller, bool &done);
    // How a caller's bytes are judged: as they stand (more may come), after a quiet spell (a
    // decision other than a refusal is taken), or at the end of its time (whatever it is).
    enum class TJudging { AsItStands, Settled, TimeUp };
    void Decide(TCaller &caller, TJudging judging, bool &done);
    void Assign(TLine &line, TCaller &caller, qsizetype extra);
    void Refuse(TSocket &socket, const QString &source, const QString &reason);
    void ReadWaiting(TLine &line);
    void Sweep();
    TSocket *SocketOf(const QString &key);
    const TLine *LineOf(const QString &path) const;
    QString WhyAbsentLocked(const TLine &line) const;
    void Emit();

    mutable std::mutex FLock;
    std::map<QString, std::unique_ptr<TSocket>> FSockets; // by "address:port"
    std::map<QString, std::unique_ptr<TLine>> FLines;     // by path
    std::vector<std::unique_ptr<TCaller>> FCallers;       // not registered yet
    TBurstCount<QString> FRefusals{BurstMs, 64, QStringLiteral("*")};
    // Calls and drops of the lines' own devices: a few lines, then counted, so that a caller
    // that knows a line's id cannot flood the log either.
    TBurstCount<QString> FCallLog{BurstMs, 64, QStringLiteral("*"), 3};
    std::uint64_t FCalls = 0;
    // What the thread's round has to say, written out after the lock is released.
    QStringList FOut;
    bool FChanged = false;

    int FWake = -1;
    QString FWakeError;
    std::atomic<bool> FStop{false};
    std::thread FThread;
};
