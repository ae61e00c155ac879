#pragma once

#include <QString>

// Where the program keeps and finds its files on this system.
namespace Paths
{

// $XDG_CONFIG_HOME/Varo/Lindqvar/ (default ~/.config/Varo/Lindqvar/), with the trailing '/'.
QString ConfigDir();
// The settings store, Lindqvar.conf in the config directory.
QString SettingsFile();
// The port map, ports.conf in the config directory.
QString PortMapFile();
// The directory of the running executable with its trailing '/'; "setup.ini" is read there.
QString ProgramDir();
// Tests run the main window inside their own executable and point this at a folder of theirs.
void SetProgramDirForTesting(const QString &dir);
// The user's private temporary directory with its trailing '/': $XDG_RUNTIME_DIR/lindqvar/,
// else ${TMPDIR:-/tmp}/lindqvar-<uid>/. Created with mode 0700 and returned only when it is a
// real directory owned by the user with no access for others; otherwise empty.
QString PrivateTempDir();
// The single-instance lock: TMainLindqvarForm.lock in $XDG_RUNTIME_DIR, else the config dir.
QString InstanceLockFile();

} // namespace Paths
