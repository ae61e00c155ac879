#include "app/Program.h"

#include "app/ExceptionHandler.h"
#include "app/MainFormUnit.h"
#include "app/SingleInstance.h"
#include "app/Windows.h"
#include "controls/Dialogs.h"
#include "settings/Paths.h"

int RunLindqvar(int argc, char *argv[])
{
    TLindqvarApplication app(argc, argv);

    const TSingleInstance instance(Paths::InstanceLockFile());
    if (!instance.IsFirst()) {
        TDialogs::Instance().MessageBox(nullptr, QStringLiteral("Предупреждение"),
                                        QStringLiteral("Приложение уже запущено."),
                                        TMsgIcon::Warning);
        return 0;
    }

    TLindqvarWindows windows;
    windows.MainLindqvarForm->show();
    return app.exec();
}
