// The main window's side of the TCP endpoint that the setup program connects to.

#include "app/MainFormUnit.h"

#include "endpoint/TServerSocket.h"
#include "settings/Defaults.h"
#include "settings/TPCServerSettingsUnit.h"

#include <QLineEdit>

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

void TMainLindqvarForm::ServerSocketClientConnect(TServerSocket *, TCustomWinSocket *)
{
    FRelay.ClientConnected();
}

void TMainLindqvarForm::ServerSocketClientDisconnect(TServerSocket *, TCustomWinSocket *)
{
    FRelay.ClientDisconnected();
}

void TMainLindqvarForm::ServerSocketClientRead(TServerSocket *sender, TCustomWinSocket *socket)
{
    FRelay.ClientRead(sender, socket);
}

void TMainLindqvarForm::ServerSocketClientError(TServerSocket *, TCustomWinSocket *, TErrorEvent,
                                                int &errorCode)
{
    errorCode = 0;
}
