#pragma once

#include "app/MainFormUnit.h"
#include "support/RelayAccess.h"

// The state of the main window, its link and its setup program as tests read and set it:
// State(w).FConnected = true. These are the designed fields; the classes' headers keep them
// private so that they show what the classes promise, and only tests and the benchmark reach
// them, through here.

// The launcher's state, as a running program leaves it.
struct TSetupLauncher::TTestAccess {
    static TProcessInformation &Process(TSetupLauncher &l) { return l.FSetupProcInfo; }
    static bool &Started(TSetupLauncher &l) { return l.FSetupIsStarted; }
    static QString &File(TSetupLauncher &l) { return l.FSetupFile; }
};

struct TMainLindqvarForm::TTestAccess : TLinkRelay::TTestAccess {
    explicit TTestAccess(TMainLindqvarForm &w)
        : TLinkRelay::TTestAccess(w.FRelay), Window(w), FVerInfo(w.FVerInfo),
          FSetupProcInfo(TSetupLauncher::TTestAccess::Process(w.FSetup)),
          FSetupIsStarted(TSetupLauncher::TTestAccess::Started(w.FSetup)),
          FSetupFile(TSetupLauncher::TTestAccess::File(w.FSetup)), FRing(w.FRing),
          FMainLoopDepth(w.FMainLoopDepth), PassObserver(w.PassObserver),
          COMSettingsForm(w.COMSettingsForm), TCPServerSettingsForm(w.TCPServerSettingsForm),
          LOGForm(w.LOGForm)
    {
    }

    // The command set as the window sets it.
    void SetCommand(TCommandState state) { Window.SetCommand(state); }

    TMainLindqvarForm &Window;
    QByteArray &FVerInfo;
    TProcessInformation &FSetupProcInfo;
    bool &FSetupIsStarted;
    QString &FSetupFile;
    std::unique_ptr<TRingThread> &FRing;
    // Whether a link is running (its MainLoop on the stack), read only.
    const int &FMainLoopDepth;
    // Called at the start of every pass when set (the benchmark's measurements).
    std::function<void()> &PassObserver;
    // The windows attached to this one (found by MainFormControls.h).
    TCOMSettingsForm *const &COMSettingsForm;
    TTCPServerSettingsForm *const &TCPServerSettingsForm;
    TLOGForm *const &LOGForm;
};

inline TMainLindqvarForm::TTestAccess State(TMainLindqvarForm &w)
{
    return TMainLindqvarForm::TTestAccess(w);
}
