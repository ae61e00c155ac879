#pragma once
// The setup program's side of a relay under measurement: a plain TCP client on 127.0.0.1 that
// speaks the device protocol of the stand-in tools. It uses blocking waits of its own (poll), so
// it can run on a thread of its own and stays asleep while the link is idle.
#include "common/Frame.h"

#include <cstdint>
#include <string>

class TFrameClient
{
public:
    TFrameClient() = default;
    ~TFrameClient();
    TFrameClient(const TFrameClient &) = delete;
    TFrameClient &operator=(const TFrameClient &) = delete;

    // Connects, retrying while nothing listens yet, until timeoutMs has passed.
    bool Connect(std::uint16_t port, int timeoutMs, std::string &error);
    void Close();

    // One Echo request and its reply, checked byte for byte; ms is the round trip.
    bool Echo(std::uint8_t seq, const std::string &payload, int timeoutMs, double &ms,
              std::string &error);

    // Streams totalBytes of pseudo-random data in Sink frames of frameSize bytes without waiting
    // for replies, and reads the device's acknowledgements as they come; each must name the
    // frame's sequence number, length and checksum. seconds runs from the first byte sent to the
    // last acknowledgement. timeoutMs limits the wait for any progress at all.
    bool Bulk(std::size_t totalBytes, std::size_t frameSize, int timeoutMs, double &seconds,
              std::string &error);

private:
    // Feeds received bytes to the parser until one event is complete; false on time-out, close
    // or fault (error set).
    bool NextEvent(tools::FrameParser::Event &event, int timeoutMs, std::string &error);
    bool SendAll(const std::string &bytes, int timeoutMs, std::string &error);

    int FFd = -1;
    tools::FrameParser FParser;
    std::string FPending;
};

// Milliseconds on the monotonic clock.
double MonotonicMs();
