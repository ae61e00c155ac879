#pragma once

#include "app/MainFormUnit.h"

// The main window's controls as tests find them: by their object names, as a screen reader's
// user finds them by their names. The window keeps them private. The three other windows are
// the ones attached to this main window.
struct TMainControls {
    explicit TMainControls(const TMainLindqvarForm &w);

    QComboBox *ConnectTypeComboBox;
    QComboBox *PortsListComboBox;
    QToolButton *SpeedButton1;
    QLabel *Label5;
    QComboBox *PhoneNumber;
    TURLLabel *URLLabel1;
    QLabel *Label7;
    TServerSocket *ServerSocket;
    TCOMSettingsForm *COMSettingsForm;
    TTCPServerSettingsForm *TCPServerSettingsForm;
    TLOGForm *LOGForm;
};

inline TMainControls Ui(const TMainLindqvarForm &w)
{
    return TMainControls(w);
}
