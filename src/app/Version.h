#pragma once

#include <QString>

// The project version from the build, shown in the main window's caption.
QString ProgramVersion();
