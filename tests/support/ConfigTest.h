#pragma once

#include "support/TempConfig.h"

#include <QObject>
#include <QTest>

#include <memory>

// The base of a test whose every case runs in a private config of its own, made before the case
// and removed after it: Qt Test runs these init() and cleanup() slots for each case of the test
// that derives from this class.
class TConfigTest : public QObject
{
    Q_OBJECT

protected:
    TTempConfig &Config() const { return *FConfig; }

private slots:
    void init()
    {
        FConfig = std::make_unique<TTempConfig>();
        QVERIFY(FConfig->IsValid());
    }
    void cleanup() { FConfig.reset(); }

private:
    std::unique_ptr<TTempConfig> FConfig;
};
