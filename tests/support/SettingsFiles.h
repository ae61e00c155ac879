#pragma once

#include "settings/Paths.h"

#include <QByteArray>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

// Points XDG_CONFIG_HOME at a fresh temporary directory for one test, so every test starts on a
// clean account and never touches the real settings.
class SettingsTestDir
{
public:
    SettingsTestDir() : FDir(std::make_unique<QTemporaryDir>())
    {
        QVERIFY(FDir->isValid());
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(FDir->path()));
    }
    ~SettingsTestDir() { qunsetenv("XDG_CONFIG_HOME"); }

    QString root() const { return FDir->path(); }

private:
    std::unique_ptr<QTemporaryDir> FDir;
};

inline QByteArray readSettingsFile()
{
    QFile file(Paths::SettingsFile());
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

inline void writeSettingsFile(const QByteArray &content)
{
    QDir().mkpath(Paths::ConfigDir());
    QFile file(Paths::SettingsFile());
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(content), content.size());
}

// Runs a call that must raise std::runtime_error and returns its text ("" when nothing was
// raised).
template <typename F> QString raisedText(F &&call)
{
    try {
        call();
    } catch (const std::runtime_error &error) {
        return QString::fromUtf8(error.what());
    }
    return {};
}
