#pragma once

#include "platform/SystemError.h"

#include <QByteArray>
#include <QList>
#include <QString>

// One line of the port map: a port name as the system shows it (COM3) and its line's path.
struct TPortMapEntry {
    QString Name;
    QString Path;
    bool operator==(const TPortMapEntry &other) const = default;
};

// The port map, ports.conf in the config directory: lines COM<n>=<path> in the order listed,
// '#' starts a comment. A path is one that the table of line kinds understands (line/LineKinds.h:
// a device file, rfc2217://host:port, tcp://host:port). Users may edit it; present serial
// hardware is added by Discover().
namespace PortMap
{

// The valid lines of a port map text in file order. Comments, blank and malformed lines are
// skipped; of lines naming the same port (in any letter case) the first wins.
QList<TPortMapEntry> Parse(const QByteArray &text);

// Reads ports.conf. A missing file is an empty map; false with a reason when the file exists but
// cannot be read.
TResult Load(QList<TPortMapEntry> &entries);

// The path mapped to a port name, compared without regard to letter case; empty when unmapped.
QString PathOf(const QList<TPortMapEntry> &entries, const QString &name);

// The number n of a port name COM<n> in any letter case; 0 for anything else.
int PortNumber(const QString &name);

// Adds lines at the end of ports.conf, keeping every line already there. Creates the config
// directory when needed; the file is replaced atomically.
TResult Append(const QList<TPortMapEntry> &entries);

// Where Discover() looks for hardware: the sysfs root and the device root ("/sys", "/dev" unless
// a test points them at a tree of its own). Process-wide.
void SetDiscoveryRoots(const QString &sysRoot, const QString &devRoot);
QString SysRoot();
QString DevRoot();

// Adds a line for every present serial device that has none yet and returns the map as it is
// afterwards. False with a reason when the map cannot be read. When the new lines cannot be
// written (a read-only config folder, a full disk) the map is returned as it stands and saved
// says why.
TResult Discover(QList<TPortMapEntry> &entries, TResult &saved);

} // namespace PortMap
