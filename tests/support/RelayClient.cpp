#include "support/RelayClient.h"

void TRelayClient::Send(quint8 seq, quint8 type, const QByteArray &payload)
{
    const std::string frame = tools::encodeFrame(
        tools::Frame{seq, type, std::string(payload.constData(), size_t(payload.size()))});
    FSocket.write(frame.data(), qint64(frame.size()));
}

bool TRelayClient::TakeReply(tools::FrameParser::Event &event)
{
    FPending += FSocket.readAll();
    while (!FPending.isEmpty()) {
        event = {};
        const size_t used =
            FParser.feed(std::string_view(FPending.constData(), size_t(FPending.size())), event);
        FPending.remove(0, qsizetype(used));
        if (event.result != tools::FrameParser::Result::None)
            return true;
        if (used == 0)
            break;
    }
    return false;
}
