#pragma once

#include <QByteArray>

// Takes a router's heartbeat out of what a device that calls in sends. A router sends it when the
// line has been quiet, so it is looked for only at the start of the bytes that follow a quiet
// spell, where it is dropped, whole repetitions included; anywhere else the same bytes are data,
// and so is a heartbeat cut in two by the network. What follows it at once is data.
class THeartbeatFilter
{
public:
    explicit THeartbeatFilter(QByteArray heartbeat) : FHeartbeat(std::move(heartbeat)) {}

    // Appends the data among bytes to data; afterQuiet: the bytes are the first after a quiet
    // spell.
    void Filter(const char *bytes, qsizetype size, bool afterQuiet, QByteArray &data) const
    {
        qsizetype start = 0;
        if (afterQuiet && !FHeartbeat.isEmpty()) {
            const QByteArrayView view(bytes, size);
            while (view.sliced(start).startsWith(FHeartbeat))
                start += FHeartbeat.size();
        }
        data.append(bytes + start, size - start);
    }

private:
    QByteArray FHeartbeat;
};
