// Arbitrary bytes through the reply parser and the setup.ini lookup. The input is a reply and an
// ini file separated by the line "##"; without it the same bytes serve as both. Besides crashes and
// sanitizer reports, the promises the launch relies on are checked.
#include "FuzzCheck.h"
#include "app/SetupIni.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input(reinterpret_cast<const char *>(data), qsizetype(size));
    const qsizetype mark = input.indexOf("\n##\n");
    const QByteArray reply = mark < 0 ? input : input.left(mark);
    const QByteArray ini = mark < 0 ? input : input.mid(mark + 4);

    bool hasToken = false;
    const QString key = ModelKeyFromReply(reply, &hasToken);
    check(hasToken || key.isEmpty());
    for (const QChar c : key)
        check(c.unicode() > 32 && c != u',' && c != u'.' && c != u'"');

    for (const QString &name : {key, QString(), QStringLiteral("MODEL")}) {
        bool found = false;
        SetupLookup outcome = SetupLookup::Found;
        const QString value = LookupSetupProgram(ini, name, &found, &outcome);
        check(found == (outcome == SetupLookup::Found));
        check(found ? IsSafeSetupValue(value) : value.isEmpty());
        check(!value.contains(u'/') && !value.contains(u'\r') && !value.contains(u'\n'));
    }
    for (const QString &line : SetupIniLines(ini))
        check(!line.contains(u'\r') && !line.contains(u'\n'));
    return 0;
}
