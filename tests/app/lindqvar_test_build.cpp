// The program as tests start it: the same start as the shipped lindqvar, with every message box
// written to the file named by the first argument and answered at once, as there is nobody to
// press OK. The shipped program has no such seam.
#include "app/Program.h"
#include "controls/Dialogs.h"

#include <QFile>

namespace
{

class TFileDialogs : public TDialogs
{
public:
    explicit TFileDialogs(QString path) : FPath(std::move(path)) {}
    void MessageBox(QWidget *, const QString &caption, const QString &text, TMsgIcon icon) override
    {
        QFile file(FPath);
        if (!file.open(QIODevice::Append | QIODevice::Text))
            return;
        static const char *const names[] = {"information", "warning", "error"};
        file.write(QStringLiteral("%1\t%2\t%3\n")
                       .arg(QLatin1String(names[static_cast<int>(icon)]), caption, text)
                       .toUtf8());
    }

private:
    QString FPath;
};

} // namespace

int main(int argc, char *argv[])
{
    if (argc < 2)
        return 2;
    TFileDialogs dialogs(QString::fromLocal8Bit(argv[1]));
    TDialogs::SetInstance(&dialogs);
    argv[1] = argv[0];
    const int status = RunLindqvar(argc - 1, argv + 1);
    TDialogs::SetInstance(nullptr);
    return status;
}
