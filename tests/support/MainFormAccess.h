#pragma once

#include "app/MainFormUnit.h"

// The main window's state as tests read and set it: State(w).FConnected = true. These are the
// designed fields of the window; the window's header keeps them private so that it shows what the
// window promises, and only tests reach them, through here.
// The launcher's state, as a running program leaves it.
struct TSetupLauncher::TTestAccess {
    static TProcessInformation &Process(TSetupLauncher &l) { return l.FSetupProcInfo; }
    static bool &Started(TSetupLauncher &l) { return l.FSetupIsStarted; }
    static QString &File(TSetupLauncher &l) { return l.FSetupFile; }
};

struct TMainLindqvarForm::TTestAccess {
    explicit TTestAccess(TMainLindqvarForm &w)
        : FConnected(w.FConnected), FModemConnect(w.FModemConnect),
          FNeedCOMReconnect(w.FNeedCOMReconnect), FReadSocket(w.FReadSocket),
          FSetupConnected(w.FSetupConnected), FCOMHandle(w.FCOMHandle), FDataBuffer(w.FDataBuffer),
          FVerInfo(w.FVerInfo), FSetupProcInfo(TSetupLauncher::TTestAccess::Process(w.FSetup)),
          FSetupIsStarted(TSetupLauncher::TTestAccess::Started(w.FSetup)),
          FSetupFile(TSetupLauncher::TTestAccess::File(w.FSetup)), FRing(w.FRing),
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
