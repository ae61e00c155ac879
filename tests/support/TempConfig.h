#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// Gives a test a private home for everything the program keeps on disk, for the life of the
// object: XDG_CONFIG_HOME points at <root>/config (so Paths::ConfigDir() and the port map live
// there) and XDG_RUNTIME_DIR at <root>/runtime (mode 0700). Port discovery is pointed at an
// empty fake tree (<root>/sys and <root>/dev), so the machine's own serial hardware never
// enters a port list; a test may fill that tree or point discovery elsewhere. The destructor
// restores the environment and the discovery roots.
class TTempConfig
{
public:
    TTempConfig();
    ~TTempConfig();
    TTempConfig(const TTempConfig &) = delete;
    TTempConfig &operator=(const TTempConfig &) = delete;

    bool IsValid() const { return FValid; }
    QString Root() const { return FDir.path(); }
    // The program's config directory, with its trailing '/'.
    QString ConfigDir() const;
    QString RuntimeDir() const { return Root() + QStringLiteral("/runtime"); }
    // The fake discovery roots (empty directories until a test fills them).
    QString SysRoot() const { return Root() + QStringLiteral("/sys"); }
    QString DevRoot() const { return Root() + QStringLiteral("/dev"); }

    // Replaces ports.conf with these lines (e.g. "COM5=/dev/pts/3"); false if it cannot be written.
    bool WritePortMap(const QStringList &lines) const;
    // The lines of ports.conf as they are now (empty when there is no file).
    QStringList ReadPortMap() const;
    // Puts a regular file where the config directory is (whatever was there goes), so that the
    // directory cannot be made and nothing can be stored.
    [[nodiscard]] bool BlockConfigDir() const;

private:
    struct TSavedVariable {
        QByteArray Name;
        bool WasSet = false;
        QByteArray Value;
    };
    void Save(const char *name, const QString &value);

    QTemporaryDir FDir;
    bool FValid = false;
    QList<TSavedVariable> FSaved;
    QString FSavedSysRoot;
    QString FSavedDevRoot;
};
