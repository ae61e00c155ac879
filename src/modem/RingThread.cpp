#include "modem/RingThread.h"

#include "log/ThreadLogWriter.h"
#include "log/Win1251.h"
#include "platform/TickClock.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QMutexLocker>

TRingThread::TRingThread(const TRingThreadCreateStruct &ACreateStruct)
    : FCreateStruct(ACreateStruct)
{
    if (FCreateStruct.Log.Receiver)
        FLog = std::make_unique<TThreadLogWriter>(FCreateStruct.Log);
    start();
}

TRingThread::~TRingThread()
{
    {
        QMutexLocker lock(&FHandlerLock);
        FCreateStruct.TerminateHandler = nullptr;
    }
    if (isRunning()) {
        Terminate();
        WaitFor();
    }
    // Whatever the code, a port still held here was never taken over by the owner (a port
    // that opened but could not be prepared gives code 1; a dialer destroyed while running
    // may still hold code 0): closing only for codes above 1 would leave it open and locked.
    // A port the owner has taken is no longer held and is left alone.
    CloseCOMPort(FhCOM);
}

THandle TRingThread::TakeCOMHandle()
{
    const THandle handle = FhCOM;
    FhCOM = INVALID_HANDLE_VALUE;
    return handle;
}

void TRingThread::Terminate()
{
    requestInterruption();
    // Taken so that a pause between its check of the flag and its wait cannot miss the wake.
    const std::lock_guard lock(FPauseLock);
    FPauseWake.notify_all();
}

void TRingThread::Pause(std::uint32_t ms)
{
    std::unique_lock lock(FPauseLock);
    FPauseWake.wait_for(lock, TickClock::RealDuration(ms), [this] { return Terminated(); });
}

void TRingThread::WaitForReply(std::uint32_t ms)
{
    // The line says when the modem's next bytes are there (bytes it holds already included); a
    // line that is gone would say so at once, and the wait is then a plain pause.
    if (WaitCOMInput(FhCOM, TickClock::RealDuration(ms)) == TSerialLine::TInputWait::Gone)
        Pause(ms);
}

void TRingThread::WaitFor()
{
    if (QThread::currentThread() == this)
        return;
    // A bare wait would never end while the dialer is blocked in a hand-over to this thread.
    // User input waits meanwhile: the window does not react until the dialer has finished.
    while (!wait(QDeadlineTimer(10)))
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents, 10);
}

void TRingThread::run()
{
    Execute();
    std::function<void(TRingThread *)> handler;
    {
        QMutexLocker lock(&FHandlerLock);
        handler = FCreateStruct.TerminateHandler;
    }
    if (handler && FCreateStruct.Owner) {
        QMetaObject::invokeMethod(
            FCreateStruct.Owner, [&] { handler(this); }, Qt::BlockingQueuedConnection);
    }
}

void TRingThread::Execute()
{
    // A line on the network connects in the background; this thread may wait for it.
    const TResult opened =
        OpenCOMPortWaiting(FCreateStruct.COM, FCreateStruct.BaudRate, FhCOM, [this] {
            Pause(50);
            return !Terminated();
        });
    if (!opened) {
        if (Terminated())
            return;
        FErrCode = RingResult::PortNotOpened;
        // The dialogue's log has this one line for it; the reason goes to stderr.
        WriteThreadLog(QStringLiteral("Ошибка открытия порта"));
        qWarning("%s", qUtf8Printable(opened.Reason()));
        return;
    }
    if (Terminated())
        return;

    PostProgress(RingStage::PortOpened);
    WriteThreadLog(QStringLiteral("Порт успешно открыт"));
    for (const QString &note : OpenedPortNotes(FhCOM, FCreateStruct.COM))
        WriteThreadLog(note);

    // Whatever the modem says after the port opens (a greeting, unsolicited results).
    QByteArray heard;
    for (int i = 0; i < 15; ++i) {
        QByteArray piece;
        ReadCOMString(FhCOM, piece);
        heard += piece;
        Pause(1000);
        if (Terminated())
            return;
    }
    WriteThreadLog(Win1251ToString(heard), QStringLiteral(">>"));
    WriteThreadLog(QStringLiteral("Инициализация модема"));

    for (int i = 0; i < 2; ++i) {
        SendCommand(QByteArrayLiteral("ATZ"));
        QByteArray discarded;
        ReadCOMString(FhCOM, discarded);
        Pause(500);
    }

    // The modem must answer, then accept the data bearer.
    for (const QByteArray &command :
         {QByteArrayLiteral("AT"), QByteArrayLiteral("AT+CBST=7,0,1")}) {
        if (Terminated())
            return;
        SendCommand(command);
        if (!WaitOK(5000)) {
            FErrCode = RingResult::ModemSilent;
            return;
        }
    }
    PostProgress(RingStage::BearerSelected);

    bool registered = false;
    for (int i = 0; i < 10 && !registered; ++i) {
        if (Terminated())
            return;
        SendCommand(QByteArrayLiteral("AT+CREG?"));
        registered = WaitAnswer(QByteArrayLiteral("0,1"), 2000);
        if (!registered)
            Pause(2000);
    }
    if (Terminated())
        return;
    if (!registered) {
        FErrCode = RingResult::NotRegistered;
        return;
    }

    Pause(3000);
    if (Terminated())
        return;
    PostProgress(RingStage::Dialling);

    SendCommand(StringToWin1251(QStringLiteral("ATD%1").arg(FCreateStruct.Phone)));
    if (WaitAnswer(QByteArrayLiteral("CONNECT"), 45000)) {
        Pause(5000);
        return;
    }
    std::uint32_t none = RingResult::Connected;
    FErrCode.compare_exchange_strong(none, RingResult::NoAnswer);
    SendCommand(QByteArrayLiteral("ATH"));
}

void TRingThread::SendCommand(const QByteArray &command)
{
    WriteCOMString(FhCOM, command + "\r\n");
    WriteThreadLog(Win1251ToString(command), QStringLiteral("<<"));
}

bool TRingThread::WaitAnswer(const QByteArray &expected, std::uint32_t timeout)
{
    const std::uint32_t start = TickClock::Now();
    QByteArray reply;
    while (!Terminated() && TickClock::Now() - start < timeout) {
        QByteArray piece;
        ReadCOMString(FhCOM, piece);
        reply += piece;
        const TModemReply judged = JudgeModemReply(reply, expected);
        if (judged.Verdict != TModemReply::TVerdict::Waiting) {
            WriteThreadLog(Win1251ToString(reply), QStringLiteral(">>"));
            if (judged.Verdict == TModemReply::TVerdict::Failed) {
                FErrCode = judged.Code;
                return false;
            }
            return !Terminated();
        }
        WaitForReply(50);
    }
    WriteThreadLog(Win1251ToString(reply), QStringLiteral(">>"));
    return false;
}

void TRingThread::WriteThreadLog(const QString &message, const QString &prefix)
{
    if (FLog)
        FLog->WriteThreadLog(message, prefix);
}

void TRingThread::PostProgress(int stage)
{
    if (FCreateStruct.Owner)
        QCoreApplication::postEvent(FCreateStruct.Owner, new TRingProgressEvent(stage));
}
