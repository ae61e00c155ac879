#include "support/WindowProbes.h"

#include "app/MainFormUnit.h"

#include <QFile>
#include <QLabel>

#include <cerrno>
#include <csignal>

QColor StatusColor(const TMainLindqvarForm &w)
{
    return w.Label7->palette().color(QPalette::WindowText);
}

bool ProcessIsAlive(pid_t pid)
{
    return pid > 0 && ::kill(pid, 0) == 0;
}

bool ProcessIsGone(pid_t pid)
{
    return pid > 0 && ::kill(pid, 0) != 0 && errno == ESRCH;
}

QString SetupDemoResult(const QString &transcript)
{
    QFile file(transcript);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray text = file.readAll();
    const qsizetype at = text.indexOf("RESULT ");
    return at < 0 ? QString() : QString::fromUtf8(text.mid(at).trimmed());
}
