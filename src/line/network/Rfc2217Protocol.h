#pragma once

#include "line/network/LineProtocol.h"
#include "line/network/TelnetCodec.h"

// RFC 2217 over the codec TTelnetCodec: the client offers the COM port control option at the
// connect and the server must agree; the line's speed, format, purges and control lines then go
// to the server as commands. The server is asked for no notices: the line needs none.
class TRfc2217Protocol final : public TLineProtocol
{
public:
    TResult Negotiate(const QString &where, TByteStream &stream, const TDeadline &deadline,
                      QByteArray &data) override;
    void Decode(const char *bytes, qsizetype size, QByteArray &data, QByteArray &replies) override
    {
        FCodec.Decode(bytes, size, data, replies);
    }
    QByteArray Encode(const char *bytes, qsizetype size) const override;
    int WireWidth(char byte) const override
    {
        return static_cast<unsigned char>(byte) == 0xFF ? 2 : 1;
    }
    QByteArray Opening() const override;
    QByteArray LineSettings(int baudRate) const override;
    QByteArray PurgeBoth() const override;
    QByteArray OpenControlLines() const override;

private:
    TTelnetCodec FCodec;
};
