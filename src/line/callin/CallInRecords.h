#pragma once

// What the listener keeps of its sockets, callers and lines: shared by its two halves, the
// operations of the other threads (CallInListener.cpp) and the thread's rounds
// (CallInRounds.cpp). Only the listener includes it.
#include "line/callin/CallInListener.h"

#include <sys/socket.h>

struct TCallInListener::TSocket {
    QString Key; // "address:port"
    int Fd = -1;
    QString Error; // why it does not listen
    QString LastRefusal;
    // Left out of the wait for a while after the system refused an accept (no descriptors or
    // memory left), which it would otherwise report at once again and again.
    bool Paused = false;
    std::uint32_t PausedAt = 0;
    QString AcceptError; // the last one logged; cleared by an accept that works
};

struct TCallInListener::TCaller {
    int Fd = -1;
    QString Socket;
    sockaddr_storage Address{};
    QString From;
    std::uint32_t Accepted = 0;
    std::uint32_t LastByte = 0;
    QByteArray Collected;
};

struct TCallInListener::TLine {
    QString Name;
    QString Path;
    int Order = 0;
    TCallInOptions Options;
    QString Socket;
    // The device's connection while it waits for a link.
    int WaitingFd = -1;
    std::uint64_t WaitingCall = 0;
    qint64 Discarded = 0;
    // The connection a link has taken; Replaced once the device has called again meanwhile.
    int InUseFd = -1;
    std::uint64_t InUseCall = 0;
    bool Replaced = false;
    QString LastFrom;
    QString LastCallAt;
};
