#pragma once

#include "app/MainFormUnit.h"

// The main window's state as tests read and set it: State(w).FConnected = true. These are the
// designed fields of the window; the window's header keeps them private so that it shows what the
// window promises, and only tests reach them, through here.
struct TMainLindqvarForm::TTestAccess {
    explicit TTestAccess(TMainLindqvarForm &w)
        : FConnected(w.FConnected), FModemConnect(w.FModemConnect),
          FNeedCOMReconnect(w.FNeedCOMReconnect), FReadSocket(w.FReadSocket),
          FSetupConnected(w.FSetupConnected), FCOMHandle(w.FCOMHandle), FDataBuffer(w.FDataBuffer),
          FVerInfo(w.FVerInfo), FSetupProcInfo(w.FSetupProcInfo),
          FSetupIsStarted(w.FSetupIsStarted), FSetupFile(w.FSetupFile), FRing(w.FRing),
          FMainLoopDepth(w.FMainLoopDepth)
    {
    }

    bool &FConnected;
    bool &FModemConnect;
    bool &FNeedCOMReconnect;
    std::int32_t &FReadSocket;
    bool &FSetupConnected;
    THandle &FCOMHandle;
    std::array<char, COM_BUFFER_SIZE> &FDataBuffer;
    QByteArray &FVerInfo;
    TProcessInformation &FSetupProcInfo;
    bool &FSetupIsStarted;
    QString &FSetupFile;
    std::unique_ptr<TRingThread> &FRing;
    // Whether a link is running (its MainLoop on the stack), read only.
    const int &FMainLoopDepth;
};

inline TMainLindqvarForm::TTestAccess State(TMainLindqvarForm &w)
{
    return TMainLindqvarForm::TTestAccess(w);
}
