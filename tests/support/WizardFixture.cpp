#include "support/WizardFixture.h"

#include "app/MainFormUnit.h"
#include "settings/Paths.h"

#include <QDir>
#include <QFile>
#include <QTest>

TWizardFixture::TWizardFixture() { Paths::SetProgramDirForTesting(FProgramDir.path()); }

TWizardFixture::~TWizardFixture()
{
    Windows.reset();
    Paths::SetProgramDirForTesting(QString());
}

void TWizardFixture::Start()
{
    Windows = std::make_unique<TLindqvarWindows>();
    Windows->MainLindqvarForm->show();
    QVERIFY(QTest::qWaitForWindowExposed(Windows->MainLindqvarForm.get()));
}

void TWizardFixture::Stop()
{
    if (Windows)
        Windows->MainLindqvarForm->close();
    Windows.reset();
}

TMainLindqvarForm &TWizardFixture::Main() const { return *Windows->MainLindqvarForm; }

void TWizardFixture::WriteSettings(const QByteArray &ini) const
{
    QVERIFY(QDir().mkpath(Paths::ConfigDir()));
    QFile file(Paths::SettingsFile());
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(ini);
}

QByteArray TWizardFixture::ReadSettings() const
{
    QFile file(Paths::SettingsFile());
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}
