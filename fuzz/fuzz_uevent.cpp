// The kernel's device events as the port watcher reads them from its netlink socket. Besides
// crashes and sanitizer reports: an event concerns the port list exactly when one of its fields
// (after the "ACTION@DEVPATH" header) is SUBSYSTEM=tty, whatever else it holds.
#include "FuzzCheck.h"
#include "ports/PortWatcher.h"

#include <cstdint>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray message(reinterpret_cast<const char *>(data), qsizetype(size));
    bool tty = false;
    const char *field = message.constData();
    const char *end = field + message.size();
    bool header = true;
    while (field <= end) {
        const char *nul = static_cast<const char *>(std::memchr(field, 0, size_t(end - field)));
        const char *stop = nul ? nul : end;
        if (!header && stop - field == 13 && std::memcmp(field, "SUBSYSTEM=tty", 13) == 0)
            tty = true;
        header = false;
        field = stop + 1;
    }
    check(IsTtyUevent(message) == tty);
    // An unrelated field added at the end changes nothing.
    check(IsTtyUevent(message + QByteArray("\0SEQNUM=1", 9)) == tty);
    return 0;
}
