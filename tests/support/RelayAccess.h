#pragma once

#include "app/LinkRelay.h"

// The relay's link state as tests read and set it, TLinkRelay::TTestAccess(relay).FReadSocket:
// the relay's header keeps it private; only tests and the benchmark reach it, through here.
struct TLinkRelay::TTestAccess {
    explicit TTestAccess(TLinkRelay &r)
        : FConnected(r.FConnected), FModemConnect(r.FModemConnect),
          FNeedCOMReconnect(r.FNeedCOMReconnect), FReadSocket(r.FReadSocket),
          FSetupConnected(r.FSetupConnected), FCOMHandle(r.FCOMHandle)
    {
    }

    bool &FConnected;
    bool &FModemConnect;
    bool &FNeedCOMReconnect;
    std::int32_t &FReadSocket;
    bool &FSetupConnected;
    THandle &FCOMHandle;
};
