#pragma once

#include "log/ThreadLogWriter.h"
#include "modem/ModemResults.h"
#include "ports/COMUtils.h"

#include <QByteArray>
#include <QEvent>
#include <QMutex>
#include <QString>
#include <QThread>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

class TRingThread;

// What the connection command gives a modem attempt.
struct TRingThreadCreateStruct {
    QString COM;         // the port name
    qint32 BaudRate = 0; // the line speed (always ModemBaudRate for a modem)
    QString Phone;       // the number to dial, as typed
    TLogSink Log;        // receives the dialer's log lines
    // Run once on the owner's thread after the dialogue has ended; the dialer waits for it.
    std::function<void(TRingThread *)> TerminateHandler;
    QObject *Owner = nullptr; // receives the progress events
};

// The dialer's progress, posted to the owner as the event WM_RINGPROGRESS with its stage.
inline constexpr int WM_RINGPROGRESS = 1029;
namespace RingStage
{
inline constexpr int PortOpened = 1;     // the port is open and prepared
inline constexpr int BearerSelected = 2; // the modem accepted the data bearer
inline constexpr int Dialling = 3;       // registered in the network; the number is dialled now
} // namespace RingStage

class TRingProgressEvent : public QEvent
{
public:
    explicit TRingProgressEvent(int stage)
        : QEvent(static_cast<QEvent::Type>(WM_RINGPROGRESS)), FStage(stage)
    {
    }
    int Stage() const { return FStage; }

private:
    int FStage;
};

// One modem attempt on a thread of its own: opens the port, resets and checks the modem, waits
// for network registration, dials and waits for the call. It starts at once when created.
class TRingThread : public QThread
{
    Q_OBJECT

public:
    explicit TRingThread(const TRingThreadCreateStruct &ACreateStruct);
    // Detaches the completion handler, stops and waits, and closes a port not taken over.
    ~TRingThread() override;

    std::uint32_t ErrorCode() const { return FErrCode; }
    void SetErrorCode(std::uint32_t code) { FErrCode = code; }
    THandle hCOM() const { return FhCOM; }
    // The owner takes the port over: from now on the dialer never closes it.
    THandle TakeCOMHandle();

    // Asks the dialogue to stop at its next check; a pause in progress ends at once.
    void Terminate();
    bool Terminated() const { return isInterruptionRequested(); }
    // Waits until the thread has ended, serving its hand-overs (log lines, completion) meanwhile.
    void WaitFor();

protected:
    void run() override;

private:
    void Execute();
    void SendCommand(const QByteArray &command);
    bool WaitAnswer(const QByteArray &expected, std::uint32_t timeout);
    bool WaitOK(std::uint32_t timeout) { return WaitAnswer(QByteArrayLiteral("OK"), timeout); }
    void WriteThreadLog(const QString &message, const QString &prefix = QString());
    void PostProgress(int stage);
    // The dialogue's plain pauses, in dialer milliseconds; a cancel ends them at once, so that
    // the owner waiting for the cancel is not held for up to 5 s.
    void Pause(std::uint32_t ms);
    // Waits at most ms (dialer milliseconds) for the modem's next bytes.
    void WaitForReply(std::uint32_t ms);

    TRingThreadCreateStruct FCreateStruct;
    THandle FhCOM = INVALID_HANDLE_VALUE;
    // Zero from creation, not from the start of the dialogue, so that a cancel marked at any
    // moment stays a cancel.
    std::atomic<std::uint32_t> FErrCode{RingResult::Connected};
    std::unique_ptr<TThreadLogWriter> FLog;
    QMutex FHandlerLock;
    std::mutex FPauseLock;
    std::condition_variable FPauseWake;
};
