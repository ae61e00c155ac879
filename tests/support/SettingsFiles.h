#pragma once

// The settings file as the settings tests read and write it, inside a TTempConfig.

#include "settings/Paths.h"

#include <QByteArray>
#include <QFile>
#include <QtTest>

inline QByteArray readSettingsFile()
{
    QFile file(Paths::SettingsFile());
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

[[nodiscard]] inline bool writeSettingsFile(const QByteArray &content)
{
    QDir().mkpath(Paths::ConfigDir());
    QFile file(Paths::SettingsFile());
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(content) == content.size();
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
