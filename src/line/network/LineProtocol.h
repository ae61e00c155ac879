#pragma once

#include "platform/SystemError.h"

#include <QByteArray>
#include <QString>

class TByteStream;
class TDeadline;

// What a line on the network speaks over its byte stream: a raw stream, or RFC 2217 (telnet
// with the COM port control option). The protocol turns data into bytes on the wire and back and
// words the line's settings as commands; the line sends and receives.
class TLineProtocol
{
public:
    virtual ~TLineProtocol() = default;

    // Whatever must be agreed with the server before the line carries data, within the
    // deadline; data that arrives meanwhile goes to the end of data. where names the line in
    // the reasons.
    virtual TResult Negotiate(const QString &where, TByteStream &stream, const TDeadline &deadline,
                              QByteArray &data) = 0;
    // Decodes bytes from the server: data to the end of data, answers owed to the server to the
    // end of replies. Sequences cut between two calls are carried over.
    virtual void Decode(const char *bytes, qsizetype size, QByteArray &data,
                        QByteArray &replies) = 0;
    // The data's bytes on the wire.
    virtual QByteArray Encode(const char *bytes, qsizetype size) const = 0;
    // How many bytes on the wire one data byte takes.
    virtual int WireWidth(char byte) const = 0;

    // The commands for the server, empty where the protocol has none: once the line is made; for
    // raw 8N1 at a speed; to discard both directions' queued bytes; for the control lines as an
    // open leaves them (DTR dropped, RTS raised).
    virtual QByteArray Opening() const = 0;
    virtual QByteArray LineSettings(int baudRate) const = 0;
    virtual QByteArray PurgeBoth() const = 0;
    virtual QByteArray OpenControlLines() const = 0;
};
