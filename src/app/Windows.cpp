#include "app/Windows.h"

#include "app/ExceptionHandler.h"
#include "app/MainFormUnit.h"
#include "log/LOGUnit.h"
#include "settings/COMSettingsUnit.h"
#include "settings/TPCServerSettingsUnit.h"

TLindqvarWindows::TLindqvarWindows()
{
    MainLindqvarForm = std::make_unique<TMainLindqvarForm>();
    // An error in a step of the creation handler skips the rest of it; start-up goes on.
    Guarded([this] { MainLindqvarForm->FormCreate(); });
    COMSettingsForm = std::make_unique<TCOMSettingsForm>();
    TCPServerSettingsForm = std::make_unique<TTCPServerSettingsForm>();
    LOGForm = std::make_unique<TLOGForm>();
    MainLindqvarForm->AttachWindows(COMSettingsForm.get(), TCPServerSettingsForm.get(),
                                    LOGForm.get());
}

// The main window goes first: it may still use the others while it ends its work.
TLindqvarWindows::~TLindqvarWindows()
{
    MainLindqvarForm.reset();
}
