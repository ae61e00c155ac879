#pragma once

#include "common/Frame.h"

#include <QByteArray>
#include <QTcpSocket>

// A setup program's side of the relay, driven from a test on the window thread: it connects to
// the wizard's endpoint, sends device-protocol requests and parses the replies as they arrive.
class TRelayClient
{
public:
    void Connect(quint16 port) { FSocket.connectToHost(QStringLiteral("127.0.0.1"), port); }
    bool IsConnected() const { return FSocket.state() == QAbstractSocket::ConnectedState; }
    bool IsClosed() const { return FSocket.state() == QAbstractSocket::UnconnectedState; }
    void Send(quint8 seq, quint8 type, const QByteArray &payload);
    // The next whole reply or framing error, when it has arrived (never blocks).
    bool TakeReply(tools::FrameParser::Event &event);
    QTcpSocket &Socket() { return FSocket; }

private:
    QTcpSocket FSocket;
    tools::FrameParser FParser;
    QByteArray FPending;
};
