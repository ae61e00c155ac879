#pragma once

#include "line/network/LineProtocol.h"

// A raw byte stream: data passes unchanged, and the line's speed, format and control lines are
// the business of the server at its end, so there is nothing to agree and no command to send.
class TRawProtocol : public TLineProtocol
{
public:
    TResult Negotiate(const QString &, TByteStream &, const TDeadline &, QByteArray &) override
    {
        return TResult::Success();
    }
    void Decode(const char *bytes, qsizetype size, QByteArray &data, QByteArray &) override
    {
        data.append(bytes, size);
    }
    QByteArray Encode(const char *bytes, qsizetype size) const override
    {
        return QByteArray::fromRawData(bytes, size);
    }
    int WireWidth(char) const override { return 1; }
    QByteArray Opening() const override { return {}; }
    QByteArray LineSettings(int) const override { return {}; }
    QByteArray PurgeBoth() const override { return {}; }
    QByteArray OpenControlLines() const override { return {}; }
};
