#include "support/MainFormControls.h"

#include "controls/URLLabel.h"
#include "endpoint/TServerSocket.h"
#include "log/LOGUnit.h"
#include "settings/COMSettingsUnit.h"
#include "settings/TPCServerSettingsUnit.h"
#include "support/MainFormAccess.h"

#include <QComboBox>
#include <QLabel>
#include <QToolButton>

namespace
{

template <typename T> T *Child(const TMainLindqvarForm &w, const char *name)
{
    T *found = w.findChild<T *>(QLatin1String(name));
    Q_ASSERT_X(found != nullptr, "TMainControls", name);
    return found;
}

TMainLindqvarForm::TTestAccess Attached(const TMainLindqvarForm &w)
{
    return TMainLindqvarForm::TTestAccess(w);
}

} // namespace

TMainControls::TMainControls(const TMainLindqvarForm &w)
    : ConnectTypeComboBox(Child<QComboBox>(w, "ConnectTypeComboBox")),
      PortsListComboBox(Child<QComboBox>(w, "PortsListComboBox")),
      SpeedButton1(Child<QToolButton>(w, "SpeedButton1")), Label5(Child<QLabel>(w, "Label5")),
      PhoneNumber(Child<QComboBox>(w, "PhoneNumber")), URLLabel1(Child<TURLLabel>(w, "URLLabel1")),
      Label7(Child<QLabel>(w, "Label7")), ServerSocket(Child<TServerSocket>(w, "ServerSocket")),
      COMSettingsForm(Attached(w).COMSettingsForm),
      TCPServerSettingsForm(Attached(w).TCPServerSettingsForm), LOGForm(Attached(w).LOGForm)
{
}
