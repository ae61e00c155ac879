#pragma once

#include "line/LineKinds.h"
#include "line/SerialLine.h"
#include "platform/SystemError.h"

#include <QString>

#include <memory>

// A serial line on a device file (a UART, a USB or ACM adapter, a pseudo-terminal): termios for
// the line settings, the input-queue count for reads, and exclusive use by the three conventions
// of serial programs here (the UUCP lock file, flock and TIOCEXCL).
class TTtyLine : public TSerialLine
{
public:
    // Opens the device exclusively: a device held by another program fails with the reason, as
    // does a path that is missing or no character device.
    static TResultOf<std::unique_ptr<TSerialLine>> Open(const TLineKind &kind, const QString &path);

    // A descriptor this process opened in some other way: no locks are held, none released.
    explicit TTtyLine(int fd, const QString &path = QString());
    ~TTtyLine() override;

    int Descriptor() const override { return FFd; }
    TResult SetParams(int baudRate) override;
    TResult Purge() override;
    void SetOpenControlLines() override;
    void DiscardInput() override;
    TResultOf<int> Read(char *buffer, int size) override;
    TResultOf<int> Write(const char *data, int count) override;
    TResult Close() override;

private:
    TTtyLine(int fd, const QString &path, const TLineKind &kind, const QString &lockFile);

    int FFd;
    // Set for a line opened exclusively: the locks it holds until the close.
    bool FExclusive = false;
    QString FLockFile;
};
