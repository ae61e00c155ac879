// The main window's side of the TCP endpoint that the setup program connects to.

#include "app/MainFormUnit.h"

#include "net/TServerSocket.h"
#include "settings/Defaults.h"
#include "settings/TPCServerSettingsUnit.h"

#include <QLineEdit>

#include <algorithm>

namespace
{

// The port text of the TCP port dialog: a decimal number from 1024 to 65535, else the default.
int ServerPortFromText(const QString &text)
{
    bool isNumber = false;
    const int port = text.toInt(&isNumber);
    if (!isNumber || port < 1024 || port > 65535)
        return DefaultServerPort;
    return port;
}

} // namespace

void TMainLindqvarForm::StartServer()
{
    if (ServerSocket->Active())
        StopServer();
    const int port = ServerPortFromText(TCPServerSettingsForm->PortEdit->text());
    ServerSocket->SetPort(port);
    TCPServerSettingsForm->PortEdit->setText(QString::number(port));
    ServerSocket->SetActive(true);
}

void TMainLindqvarForm::StopServer()
{
    if (ServerSocket->Active())
        ServerSocket->SetActive(false);
}

bool TMainLindqvarForm::SendToClient(int count)
{
    if (!FSetupConnected || ServerSocket->ActiveConnections() == 0)
        return false;
    return ServerSocket->Connections(0)->SendBuf(FDataBuffer.data(), count) == count;
}

void TMainLindqvarForm::ServerSocketClientConnect(TServerSocket *, TCustomWinSocket *)
{
    FSetupConnected = true;
}

void TMainLindqvarForm::ServerSocketClientDisconnect(TServerSocket *, TCustomWinSocket *)
{
    FSetupConnected = false;
}

void TMainLindqvarForm::ServerSocketClientRead(TServerSocket *sender, TCustomWinSocket *socket)
{
    // The buffer still holds a block that has not reached its destination: leave the bytes in
    // the socket until the pass has delivered it.
    if (FReadSocket > 0 || FSerialBlockPending) {
        sender->SuspendReads();
        return;
    }
    const int waiting = std::min(socket->ReceiveLength(), COM_BUFFER_SIZE);
    const int stored = waiting > 0 ? socket->ReceiveBuf(FDataBuffer.data(), waiting) : 0;
    FReadSocket = std::max(stored, 0);
}

void TMainLindqvarForm::ServerSocketClientError(TServerSocket *, TCustomWinSocket *, TErrorEvent,
                                                int &errorCode)
{
    errorCode = 0;
}

void TMainLindqvarForm::ResumeClientReads()
{
    if (FReadSocket == 0 && !FSerialBlockPending)
        ServerSocket->ResumeReads();
}
