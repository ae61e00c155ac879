// A line over TLS on its own, below the window: ser2net (from Debian) serves a pseudo-terminal
// on 127.0.0.1 behind its ssl layer. Bytes that the TLS layer has decrypted and holds wake a
// wait for input though the socket shows nothing; files named in the options that cannot be
// used are refused before anything is sent.

#include "line/LineKinds.h"
#include "platform/Deadline.h"
#include "support/PatternBytes.h"
#include "support/Pty.h"
#include "support/Ser2Net.h"
#include "support/TestCertificates.h"

#include <QFile>
#include <QTcpServer>
#include <QTest>
#include <QThread>

#include <chrono>
#include <memory>

using namespace std::chrono_literals;

namespace
{

// Opens the line the path names once its connection attempt has an outcome.
TResultOf<std::unique_ptr<TSerialLine>> OpenWhenConnected(const QString &path)
{
    TResultOf<std::unique_ptr<TSerialLine>> opened = LineKinds::Open(path);
    while (!opened && opened.Fault() == TFault::Pending) {
        QThread::msleep(10);
        opened = LineKinds::Open(path);
    }
    return opened;
}

} // namespace

class TstTlsLine : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void heldBytesWakeTheWait();
    void unusableFiles_data();
    void unusableFiles();

private:
    TTestCertificates FCertificates;
};

void TstTlsLine::initTestCase()
{
    QVERIFY(FCertificates.Make());
}

void TstTlsLine::heldBytesWakeTheWait()
{
    TPty pty;
    QVERIFY2(pty.IsValid(), qPrintable(pty.Error()));
    TSer2Net server(pty.SlavePath(), TSer2Net::TProtocol::RawTcp,
                    TSer2Net::TTls{FCertificates.Pem(QStringLiteral("server")),
                                   FCertificates.Key(QStringLiteral("server")),
                                   {}});
    QVERIFY(server.Start());
    const QString path = server.Url() + QStringLiteral("?ca=") + FCertificates.Pem("ca");
    TResultOf<std::unique_ptr<TSerialLine>> opened = OpenWhenConnected(path);
    QVERIFY2(opened, qPrintable(opened.Reason()));
    TSerialLine &line = *opened.Value();

    // Out: every byte value, 0xFF among them, arrives unchanged.
    const QByteArray out = PatternBytes(1024);
    qsizetype written = 0;
    while (written < out.size()) {
        const TResultOf<int> n = line.Write(out.constData() + written, int(out.size() - written));
        QVERIFY2(n, qPrintable(n.Reason()));
        written += n.Value();
    }
    QCOMPARE(pty.Read(int(out.size())), out);

    // In: what the device sends arrives in a few records; read ten bytes at a time, the rest of
    // each record waits decrypted in the TLS layer, and each wait must see it.
    const QByteArray in = PatternBytes(2000, 7);
    QVERIFY(pty.Write(in));
    QByteArray got;
    bool heldSeen = false;
    while (got.size() < in.size()) {
        QCOMPARE(line.WaitForInput(TDeadline(10s)), TSerialLine::TInputWait::Ready);
        char buffer[10];
        const TResultOf<int> n = line.Read(buffer, sizeof buffer);
        QVERIFY2(n, qPrintable(n.Reason()));
        got.append(buffer, n.Value());
        heldSeen = heldSeen || line.HasInput();
    }
    QCOMPARE(got, in);
    QVERIFY(heldSeen);
    QVERIFY(line.Close());
}

void TstTlsLine::unusableFiles_data()
{
    QTest::addColumn<QString>("options"); // "{name}" stands for the test's file of that name
    QTest::addColumn<QString>("reason");
    QTest::newRow("no such ca file")
        << "ca=/nonexistent/ca.pem"
        << "файл доверенных сертификатов /nonexistent/ca.pem не прочитан: ";
    QTest::newRow("ca file without certificates")
        << "ca={server.key}"
        << "в файле {server.key} нет сертификатов в формате PEM";
    QTest::newRow("key of another certificate")
        << "ca={ca.pem}&cert={client.pem}&key={server.key}"
        << "ключ {server.key} не подходит к сертификату {client.pem}";
    QTest::newRow("no such key file") << "ca={ca.pem}&cert={client.pem}&key=/nonexistent/client.key"
                                      << "файл ключа клиента /nonexistent/client.key не прочитан: ";
}

void TstTlsLine::unusableFiles()
{
    QFETCH(QString, options);
    QFETCH(QString, reason);
    for (const QString &name : QStringList{"ca.pem", "server.key", "client.pem"}) {
        const QString file = name.endsWith(QStringLiteral(".pem"))
                                 ? FCertificates.Pem(name.chopped(4))
                                 : FCertificates.Key(name.chopped(4));
        options.replace(u'{' + name + u'}', file);
        reason.replace(u'{' + name + u'}', file);
    }
    // A listener the system accepts for: the files are read once the connection is made, and
    // nothing is sent when they cannot be used.
    QTcpServer listener;
    QVERIFY(listener.listen(QHostAddress::LocalHost, 0));
    const QString path =
        QStringLiteral("tls://127.0.0.1:%1?%2").arg(listener.serverPort()).arg(options);
    QVERIFY(LineKinds::Valid(path));
    const TResultOf<std::unique_ptr<TSerialLine>> opened = OpenWhenConnected(path);
    QVERIFY(!opened);
    QVERIFY2(opened.Reason().startsWith(path + QStringLiteral(": ") + reason),
             qPrintable(opened.Reason()));
}

QTEST_GUILESS_MAIN(TstTlsLine)
#include "tst_tls_line.moc"
