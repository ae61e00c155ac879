#pragma once

#include "platform/SystemError.h"
#include "ports/COMUtils.h"

#include <QByteArray>

#include <array>
#include <cstdint>

class TCustomWinSocket;
class TRelayHost;
class TServerSocket;

// The relay of one link between the serial line and the setup program's TCP connection: the link
// state, the one transfer buffer, the serial read and write steps, the identification request,
// the send to the client, the deferral of client reads while the buffer is taken, and the relay's
// pass. It runs on the window thread; everything the user sees goes through its host, the link
// session.
class TLinkRelay
{
public:
    TLinkRelay(TRelayHost &host, TServerSocket &endpoint);
    // Closes a port still open.
    ~TLinkRelay();
    TLinkRelay(const TLinkRelay &) = delete;
    TLinkRelay &operator=(const TLinkRelay &) = delete;

    // A link is relaying: the passes run while this is true.
    bool Connected() const { return FConnected; }
    void SetConnected(bool connected) { FConnected = connected; }
    // The link is (or the last link was) a modem link.
    bool ModemLink() const { return FModemConnect; }
    void SetModemLink(bool modem) { FModemConnect = modem; }
    // The port counts as lost and is reopened at every pass; no longer (a disconnect, a new
    // dialled link).
    bool ReconnectPending() const { return FNeedCOMReconnect; }
    void CancelReconnect() { FNeedCOMReconnect = false; }

    bool PortOpen() const { return FCOMHandle != INVALID_HANDLE_VALUE; }
    // The port the dialer opened and dialled; from now on the relay owns it.
    void TakePort(THandle handle) { FCOMHandle = handle; }
    // Closes the port without cancelling pending transfers; nothing when none is open.
    void ClosePort();

    // One pass: the serial line's reopen or loss, else the client's block to the line and the
    // line's bytes to the client; then a 50 ms wait and the port-presence test.
    void Pass();
    // Blocks still in the buffer belong to a link that has ended: dropped, so that they never
    // reach the device of a later link.
    void DropPendingBlocks();
    // Ends a link that an error is unwinding: not connected, no reconnect, no blocks, the port
    // closed.
    void Abandon();

    // Sends the identification request and waits up to 10 s, without dispatching, for a reply
    // holding "OK\r\n"; true with the reply. The reply is cleared first.
    bool RequestVerInfo(QByteArray &reply);

    // The serial steps, on the buffer.
    int COMRead();
    int COMWrite(int count);
    bool DetectModemFailure(int count);
    void CloseLinkPort();
    bool ReopenLinkPort();
    THandle OpenLinkPort();
    // Leaves a modem's data call: three separate "+" writes, then HangUpModem.
    void HangUpModemLink();
    // "ATH" without a line end, a pause, and the port closed.
    void HangUpModem();

    // The buffer's first count bytes as a byte string, and a byte string into the buffer.
    QByteArray BufferToBytes(int count) const;
    int BytesToBuffer(const QByteArray &bytes);

    // The endpoint's side: the oldest client gets the device's bytes; a client's bytes wait in
    // its socket while the buffer holds a block not yet delivered.
    bool SendToClient(int count);
    bool SetupConnected() const { return FSetupConnected; }
    void ClientConnected() { FSetupConnected = true; }
    void ClientDisconnected() { FSetupConnected = false; }
    void ClientRead(TServerSocket *sender, TCustomWinSocket *socket);

    // Tests read and set the link state through this.
    struct TTestAccess;

private:
    void ClientToDevice();
    void DeviceToClient();
    void ReconnectStep();
    // Dispatches before a block is moved; a link that ended meanwhile drops the block, and the
    // log says so.
    bool ConnectedAfterDispatch();
    // Lets the endpoint deliver client bytes again once the buffer is free.
    void ResumeClientReads();
    // Sleeps until the line has input or the time is up (tick milliseconds).
    void WaitForInput(std::uint32_t remainingMs) const;

    TRelayHost &FHost;
    TServerSocket &FEndpoint;

    bool FConnected = false;
    bool FModemConnect = false;
    bool FNeedCOMReconnect = false;
    std::int32_t FReadSocket = 0;
    bool FSetupConnected = false;
    THandle FCOMHandle = INVALID_HANDLE_VALUE;
    std::array<char, COM_BUFFER_SIZE> FDataBuffer{};
    // Set while FDataBuffer holds serial bytes that are not yet sent to the TCP client, so that a
    // client read arriving in between is deferred instead of overwriting them.
    bool FSerialBlockPending = false;
    // The outcome of the last open by ReopenLinkPort, whose reason OpenLinkPort logs.
    TResult FLastOpenResult = TResult::Success();
};
