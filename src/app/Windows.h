#pragma once

#include <memory>

class TCOMSettingsForm;
class TLOGForm;
class TMainLindqvarForm;
class TTCPServerSettingsForm;

// The program's four windows, created once in this order and living until the end: the main
// window (its creation handler runs at once), the COM speed dialog, the TCP port dialog and the
// log window. Only the main window is shown.
struct TLindqvarWindows {
    TLindqvarWindows();
    ~TLindqvarWindows();

    std::unique_ptr<TMainLindqvarForm> MainLindqvarForm;
    std::unique_ptr<TCOMSettingsForm> COMSettingsForm;
    std::unique_ptr<TTCPServerSettingsForm> TCPServerSettingsForm;
    std::unique_ptr<TLOGForm> LOGForm;
};
