#pragma once
// A private world for one benchmark run: its own config and runtime directories, an empty port
// discovery tree, a program directory with setup.ini and a setup program that stays out of the
// way, message boxes answered on the console, and the stand-in tools started as child processes.
#include "controls/Dialogs.h"

#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// Message boxes are printed and answered at once: a benchmark has nobody to click them.
class TBenchDialogs : public TDialogs
{
public:
    TBenchDialogs();
    ~TBenchDialogs() override;
    void MessageBox(QWidget *parent, const QString &caption, const QString &text,
                    TMsgIcon icon) override;
    QString SaveFileName(QFileDialog &dialog) override;
    int Shown = 0;
};

class TBenchWorld
{
public:
    TBenchWorld();
    ~TBenchWorld();
    TBenchWorld(const TBenchWorld &) = delete;
    TBenchWorld &operator=(const TBenchWorld &) = delete;

    // Creates the directories, points the program at them and installs the setup program for
    // the device model DEMO (the stand-in device's default).
    bool Prepare(QString &error);
    QString Root() const { return FDir.path(); }
    TBenchDialogs Dialogs;

private:
    QTemporaryDir FDir;
    QList<QByteArray> FSetVariables;
};

// The directory of the stand-in tools: $LINDQVAR_TOOLS_DIR, else ../tools beside this program.
QString ToolsDir();

// A child process whose first stdout line starting with a prefix is awaited (the device prints
// "PTY <path>"). The destructor ends it with SIGTERM, then SIGKILL.
class TChild
{
public:
    TChild() = default;
    ~TChild();
    TChild(const TChild &) = delete;
    TChild &operator=(const TChild &) = delete;
    bool Start(const QString &program, const QStringList &args, QString &error);
    // The rest of the line, or empty on time-out or exit.
    QString WaitLine(const QString &prefix, int timeoutMs);
    qint64 Pid() const { return FProcess.processId(); }
    void Stop();

private:
    QProcess FProcess;
    QByteArray FOut;
};

// A TCP port on 127.0.0.1 that nothing listens on now.
quint16 FreeTcpPort();
