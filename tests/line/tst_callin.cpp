// Devices that call in: the listener on real sockets on 127.0.0.1, callers that register, one
// that does not, bad ones in a burst, and a line taken by a link and given back.
#include "line/LineKinds.h"
#include "line/callin/CallInListener.h"
#include "platform/TickClock.h"
#include "support/WizardFixture.h"

#include <QSignalSpy>

#include <QTcpServer>
#include <QTest>
#include <memory>

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace
{

using namespace std::chrono_literals;

// A caller on 127.0.0.1: a router's side of the connection, as bytes.
class TCaller
{
public:
    explicit TCaller(quint16 port)
    {
        FFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(FFd, reinterpret_cast<sockaddr *>(&to), sizeof to) != 0) {
            ::close(FFd);
            FFd = -1;
        }
    }
    ~TCaller()
    {
        if (FFd >= 0)
            ::close(FFd);
    }
    bool Connected() const { return FFd >= 0; }
    bool Send(const QByteArray &bytes) const
    {
        return ::send(FFd, bytes.constData(), size_t(bytes.size()), MSG_NOSIGNAL) == bytes.size();
    }
    // What arrives within the time, until count bytes are there.
    QByteArray Receive(int count, int ms = 5000) const
    {
        QByteArray got;
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (got.size() < count && std::chrono::steady_clock::now() < end) {
            pollfd p{FFd, POLLIN, 0};
            if (::poll(&p, 1, 50) > 0) {
                char buffer[4096];
                const ssize_t n = ::recv(FFd, buffer, sizeof buffer, 0);
                if (n <= 0)
                    break;
                got.append(buffer, n);
            }
        }
        return got;
    }
    // Whether the listener has closed the connection, within the time.
    bool ClosedByPeer(int ms = 5000) const
    {
        pollfd p{FFd, POLLIN, 0};
        char byte = 0;
        return ::poll(&p, 1, ms) > 0 && ::recv(FFd, &byte, 1, MSG_DONTWAIT) <= 0;
    }
    void Close()
    {
        ::close(FFd);
        FFd = -1;
    }

private:
    int FFd = -1;
};

// Reads a line until count bytes arrived or the time ran out.
QByteArray ReadLine(TSerialLine &line, int count, int ms = 5000)
{
    QByteArray got;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    char buffer[4096];
    while (got.size() < count && std::chrono::steady_clock::now() < end) {
        const TResultOf<int> n = line.Read(buffer, sizeof buffer);
        if (!n || !line.Connected())
            break;
        got.append(buffer, n.Value());
        if (n.Value() == 0)
            std::this_thread::sleep_for(5ms);
    }
    return got;
}

} // namespace

class TstCallIn : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void callersAreSortedByTheirRegistration();
    void aDeviceThatCallsAgainReplacesItsConnection();
    void badCallersCostLittle();
    void listeningFollowsThePortMap();

private:
    // Starts listening for the lines; false when the port could not be had.
    bool Listen(const QStringList &paths);
    bool LogHas(const QString &part) const
    {
        return std::any_of(FLog.begin(), FLog.end(),
                           [&](const QString &line) { return line.contains(part); });
    }

    std::unique_ptr<TCallInListener> FListener;
    std::unique_ptr<QSignalSpy> FChanged;
    QStringList FLog;
    quint16 FPort = 0;
};

void TstCallIn::init()
{
    FLog.clear();
    FListener = std::make_unique<TCallInListener>();
    QCOMPARE(TCallInListener::Current(), FListener.get());
    connect(FListener.get(), &TCallInListener::Log, this,
            [this](const QString &line) { FLog << line; });
    FPort = FreeTcpPort();
    QVERIFY(FPort != 0);
}

void TstCallIn::cleanup()
{
    FListener.reset();
    FChanged.reset();
    TickClock::SetSpeed(1);
}

bool TstCallIn::Listen(const QStringList &paths)
{
    QList<TCallInListener::TPort> ports;
    for (int i = 0; i < paths.size(); ++i)
        ports.append({QStringLiteral("COM%1").arg(20 + i), paths.at(i).arg(FPort)});
    FListener->Follow(ports);
    return std::none_of(ports.begin(), ports.end(), [](const TCallInListener::TPort &port) {
        return LineKinds::WhyAbsent(port.Path).contains(QStringLiteral("не слушаем"));
    });
}

void TstCallIn::callersAreSortedByTheirRegistration()
{
    const QString first = QStringLiteral("listen://127.0.0.1:%1?id=860000000000001&heartbeat=PING");
    const QString second = QStringLiteral("listen://127.0.0.1:%1?id=hex:0102FF");
    QVERIFY(Listen({first, second}));
    const QString one = first.arg(FPort), two = second.arg(FPort);
    QVERIFY(!LineKinds::IsPresent(one) && !LineKinds::IsPresent(two));

    // The spy outlives the listener (cleanup): the listener's thread may still be emitting when
    // the test returns, and a spy destroyed meanwhile crashes it.
    FChanged = std::make_unique<QSignalSpy>(FListener.get(), &TCallInListener::DevicesChanged);
    QSignalSpy &changed = *FChanged;
    // The registration and some bytes in one write; a stranger with an id nobody has.
    TCaller a(FPort), b(FPort), stranger(FPort);
    QVERIFY(a.Send("860000000000001hello") && b.Send(QByteArray::fromHex("0102FF")));
    QVERIFY(stranger.Send("860000000000002"));
    QTRY_VERIFY(LineKinds::IsPresent(one) && LineKinds::IsPresent(two));
    QVERIFY(stranger.ClosedByPeer());
    QTRY_VERIFY(LogHas(QStringLiteral("с 127.0.0.1: неизвестный id")));
    QTRY_VERIFY(!changed.isEmpty());
    QVERIFY(
        FListener->Describe(one).startsWith(QStringLiteral("Прибор, позвонивший с 127.0.0.1:")));

    // The link takes the first device's connection: what came before is dropped and counted,
    // data both ways passes whole, 0xFF included, and a heartbeat after a quiet spell does not.
    TResultOf<std::unique_ptr<TSerialLine>> opened = LineKinds::Open(one);
    QVERIFY2(opened.Ok(), qPrintable(opened.Reason()));
    TSerialLine &line = *opened.Value();
    QTRY_VERIFY(LogHas(QStringLiteral("COM20: отброшено байт, полученных от прибора до "
                                      "подключения: 5")));
    QByteArray all;
    for (int i = 0; i < 256; ++i)
        all.append(char(i));
    QCOMPARE(line.Write(all.constData(), int(all.size())).Value(), int(all.size()));
    QCOMPARE(a.Receive(256), all);
    std::this_thread::sleep_for(1200ms); // a quiet spell, as a router's heartbeat waits for
    QVERIFY(a.Send("PINGPING" + all));
    QCOMPARE(ReadLine(line, 256), all);
    // Within an exchange the same bytes are data.
    QVERIFY(a.Send("PING"));
    QCOMPARE(ReadLine(line, 4), QByteArray("PING"));
    QVERIFY(LineKinds::IsPresent(one));

    // The link ends: the device is still connected and waits for the next one.
    QVERIFY(line.Close().Ok());
    opened.Value().reset();
    QVERIFY(LineKinds::IsPresent(one));
    TResultOf<std::unique_ptr<TSerialLine>> again = LineKinds::Open(one);
    QVERIFY2(again.Ok(), qPrintable(again.Reason()));
    again.Value().reset();

    // It hangs up: the port goes, and the reason says where it was awaited and what happened.
    changed.clear();
    a.Close();
    QTRY_VERIFY(!LineKinds::IsPresent(one));
    QTRY_VERIFY(!changed.isEmpty());
    QVERIFY(LineKinds::IsPresent(two));
    const QString why = LineKinds::WhyAbsent(one);
    QVERIFY2(why.contains(QStringLiteral("ждём звонка прибора на 127.0.0.1:%1").arg(FPort)) &&
                 why.contains(QStringLiteral("и отключился")) &&
                 why.contains(QStringLiteral("последний отказ: неизвестный id с 127.0.0.1")),
             qPrintable(why));
    QCOMPARE(LineKinds::Open(one).Fault(), TFault::NotFound);
}

void TstCallIn::aDeviceThatCallsAgainReplacesItsConnection()
{
    const QString path = QStringLiteral("listen://127.0.0.1:%1?id=R1");
    QVERIFY(Listen({path}));
    const QString line = path.arg(FPort);

    // A second call while the first waits: the first connection is closed.
    TCaller first(FPort);
    QVERIFY(first.Send("R1"));
    QTRY_VERIFY(LineKinds::IsPresent(line));
    TCaller second(FPort);
    QVERIFY(second.Send("R1"));
    QVERIFY(first.ClosedByPeer());
    QTRY_VERIFY(LogHas(QStringLiteral("COM20: прибор позвонил снова с 127.0.0.1:")));

    // A call during a link: the link's line is lost, and the port is gone for the link (even
    // before its reads have noticed), so that it reopens; the new call waits for the reopen.
    TResultOf<std::unique_ptr<TSerialLine>> opened = LineKinds::Open(line);
    QVERIFY(opened.Ok());
    TCaller third(FPort);
    QVERIFY(third.Send("R1"));
    QTRY_VERIFY(!LineKinds::IsPresent(line));
    QVERIFY(second.ClosedByPeer());
    QTRY_VERIFY(ReadLine(*opened.Value(), 1, 100).isEmpty() && !opened.Value()->Connected());
    (void)opened.Value()->Close();
    opened.Value().reset();
    QVERIFY(LineKinds::IsPresent(line));
    TResultOf<std::unique_ptr<TSerialLine>> reopened = LineKinds::Open(line);
    QVERIFY2(reopened.Ok(), qPrintable(reopened.Reason()));
    QVERIFY(third.Send("back"));
    QCOMPARE(ReadLine(*reopened.Value(), 4), QByteArray("back"));
}

void TstCallIn::badCallersCostLittle()
{
    // Time limits run ten times faster at first: 10 s of registration take one.
    TickClock::SetSpeed(10);
    QVERIFY(Listen({QStringLiteral("listen://127.0.0.1:%1?id=GOOD&from=127.0.0.0/8")}));
    const QString line =
        QStringLiteral("listen://127.0.0.1:%1?id=GOOD&from=127.0.0.0/8").arg(FPort);

    // A caller that never registers is closed once its time is up.
    TCaller silent(FPort);
    QVERIFY(silent.ClosedByPeer(10000));
    QTRY_VERIFY(LogHas(QStringLiteral("нет регистрации за 10 с")));
    // The bursts below are counted in real time: a loaded machine stretches them, and ten
    // times faster its 10 s would end them early and start them again.
    TickClock::SetSpeed(1);

    // At most 64 callers wait unregistered; the next one is closed at once.
    std::vector<std::unique_ptr<TCaller>> waiting;
    for (int i = 0; i < TCallInListener::MaxUnregistered; ++i)
        waiting.push_back(std::make_unique<TCaller>(FPort));
    std::this_thread::sleep_for(100ms);
    TCaller over(FPort);
    QVERIFY(over.ClosedByPeer(1000));
    waiting.clear();

    // A burst of callers with a wrong id: all closed, a few log lines, and a good device still
    // gets through.
    FLog.clear();
    for (int i = 0; i < 2000; ++i) {
        TCaller bad(FPort);
        QVERIFY(bad.Connected() && bad.Send("BAD!"));
    }
    // While the burst is still being worked off, the good device may find the 64 places taken
    // and be closed: like a router, it calls again.
    auto good = std::make_unique<TCaller>(FPort);
    QVERIFY(good->Send("GOOD"));
    const auto presentOrCallAgain = [&] {
        if (LineKinds::IsPresent(line))
            return true;
        if (good->ClosedByPeer(0)) {
            good = std::make_unique<TCaller>(FPort);
            (void)good->Send("GOOD");
        }
        return false;
    };
    QTRY_VERIFY_WITH_TIMEOUT(presentOrCallAgain(), 30000);
    QTRY_VERIFY_WITH_TIMEOUT(LogHas(QStringLiteral("Отклонено ещё звонков на 127.0.0.1:")), 30000);
    QVERIFY2(FLog.size() <= 20, qPrintable(FLog.join(u'\n')));

    // One who knows the id, calling in a loop: three calls are told, the rest counted.
    FLog.clear();
    for (int i = 0; i < 10; ++i) {
        TCaller again(FPort);
        QVERIFY(again.Send("GOOD"));
        QTRY_VERIFY(FLog.filter(QStringLiteral("COM20: прибор")).size() >= std::min(i + 1, 3));
    }
    QTRY_VERIFY2_WITH_TIMEOUT(LogHas(QStringLiteral("COM20: прибор звонил ещё раз:")),
                              qPrintable(FLog.join(u'\n')), 30000);
    // (The good device's call above may have been the first of them.)
    QVERIFY2(FLog.filter(QStringLiteral("COM20: прибор позвонил")).size() <= 3,
             qPrintable(FLog.join(u'\n')));
}

void TstCallIn::listeningFollowsThePortMap()
{
    // A line with neither id= nor from= is open to anyone: the log says so.
    const QString open = QStringLiteral("listen://127.0.0.1:%1");
    QVERIFY(Listen({open}));
    QTRY_VERIFY(LogHas(QStringLiteral("COM20: ждём звонка прибора на 127.0.0.1:%1").arg(FPort)));
    QVERIFY(LogHas(QStringLiteral("COM20: в строке нет ни id=, ни from=")));
    // Such a line takes the first caller at once, every byte its device's.
    TCaller anyone(FPort);
    QTRY_VERIFY(LineKinds::IsPresent(open.arg(FPort)));

    // The line goes from the map: its device is let go and nothing listens any more.
    FListener->Follow({});
    QVERIFY(anyone.ClosedByPeer());
    // The socket is gone once the thread's wait has let it go.
    QTRY_VERIFY(!TCaller(FPort).Connected());
    QVERIFY(!LineKinds::IsPresent(open.arg(FPort)));

    // A port that another program holds: the reason is in the log and in the diagnosis.
    FLog.clear();
    QTcpServer holder;
    QVERIFY(holder.listen(QHostAddress::LocalHost, FPort));
    FListener->Follow({{QStringLiteral("COM21"), open.arg(FPort)}});
    QTRY_VERIFY(LogHas(QStringLiteral("COM21: не удалось слушать 127.0.0.1:%1:").arg(FPort)));
    QVERIFY(LineKinds::WhyAbsent(open.arg(FPort)).startsWith(QStringLiteral("COM21: не слушаем")));
    // Once the port is free, the next look at the map listens.
    holder.close();
    FListener->Follow({{QStringLiteral("COM21"), open.arg(FPort)}});
    // What the listener says may come from its own thread, a moment later.
    QTRY_VERIFY(LogHas(QStringLiteral("COM21: ждём звонка прибора на 127.0.0.1:%1").arg(FPort)));
    QVERIFY(TCaller(FPort).Connected());
}

QTEST_GUILESS_MAIN(TstCallIn)
#include "tst_callin.moc"
