// The main window's side of the TCP endpoint that the setup program connects to.

#include "app/MainFormUnit.h"

#include "endpoint/TServerSocket.h"
#include "settings/TPCServerSettingsUnit.h"

void TMainLindqvarForm::StartServer()
{
    if (ServerSocket->Active())
        StopServer();
    ServerSocket->SetPort(TCPServerSettingsForm->TakePort());
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
