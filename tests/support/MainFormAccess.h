#pragma once

#include "app/MainFormUnit.h"
#include "support/RelayAccess.h"

// What tests reach in the main window and its link session where no public question or
// operation gives it. The classes' headers keep these private so that they show what the
// classes promise; only tests and the benchmark reach them, through here.

// The command's state set as the session sets it, so that the window behaves as during a link
// without making one.
struct TLinkSession::TTestAccess {
    static void SetCommand(TLinkSession &s, TCommandState state) { s.SetCommand(state); }
};

// The windows attached to a main window: they are windows of their own, not its children, so
// they cannot be found by name under it (and several wizards may be open in one test).
struct TMainLindqvarForm::TTestAccess {
    explicit TTestAccess(const TMainLindqvarForm &w)
        : COMSettingsForm(w.COMSettingsForm), TCPServerSettingsForm(w.TCPServerSettingsForm),
          LOGForm(w.LOGForm)
    {
    }

    TCOMSettingsForm *COMSettingsForm;
    TTCPServerSettingsForm *TCPServerSettingsForm;
    TLOGForm *LOGForm;
};
