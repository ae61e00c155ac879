#include "app/Version.h"

QString ProgramVersion()
{
    return QStringLiteral(LINDQVAR_VERSION);
}
