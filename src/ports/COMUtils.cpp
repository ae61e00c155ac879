#include "ports/COMUtils.h"

#include "line/LineKinds.h"
#include "line/SerialLine.h"
#include "line/callin/CallInListener.h"
#include "line/tty/TtyLine.h"
#include "platform/Deadline.h"
#include "platform/SystemError.h"
#include "ports/PortMap.h"
#include "settings/Paths.h"

#include <memory>
#include <stdexcept>

TResult OpenCOMPort(const QString &name, int baudRate, THandle &handle)
{
    handle = INVALID_HANDLE_VALUE;

    QList<TPortMapEntry> map;
    if (TResult loaded = PortMap::Load(map); !loaded)
        return loaded;
    const QString path = PortMap::PathOf(map, name);
    if (path.isEmpty())
        return TResult::Failure(
            TFault::NotFound,
            QStringLiteral("%1: порт не указан в %2").arg(name, Paths::PortMapFile()));

    TResultOf<std::unique_ptr<TSerialLine>> opened = LineKinds::Open(path);
    if (!opened)
        return opened.Result();
    TSerialLine &line = *opened.Value();
    handle = SerialLines::Add(std::move(opened.Value()));

    // From here on a failure leaves the port open in the handle; the caller closes it.
    if (TResult set = line.SetParams(baudRate); !set)
        return TResult::Failure(set.Fault(),
                                QStringLiteral("%1: скорость %2 или режим линии не приняты: %3")
                                    .arg(path)
                                    .arg(baudRate)
                                    .arg(set.Reason()));
    if (TResult purged = line.Purge(); !purged)
        return purged;
    line.SetOpenControlLines();
    return TResult::Success();
}

bool SetCOMPortParams(THandle handle, int baudRate)
{
    TSerialLine *line = SerialLines::Find(handle);
    return line != nullptr && line->SetParams(baudRate).Ok();
}

bool CloseCOMPort(THandle &handle)
{
    if (handle == INVALID_HANDLE_VALUE)
        return true;
    std::unique_ptr<TSerialLine> line = SerialLines::Remove(handle);
    // A descriptor that was not opened as a port is closed all the same, holding no locks.
    if (!line)
        line = std::make_unique<TTtyLine>(static_cast<int>(handle));
    const bool closed = line->Close().Ok();
    if (closed)
        handle = INVALID_HANDLE_VALUE;
    return closed;
}

TResult OpenCOMPortWaiting(const QString &name, int baudRate, THandle &handle,
                           const std::function<bool()> &wait)
{
    TResult opened = OpenCOMPort(name, baudRate, handle);
    // A line on the network whose connection attempt is under way says "not yet": asking again
    // takes the outcome once there is one.
    while (!opened && opened.Fault() == TFault::Pending && wait()) {
        CloseCOMPort(handle);
        opened = OpenCOMPort(name, baudRate, handle);
    }
    return opened;
}

bool COMPortLost(THandle handle)
{
    const TSerialLine *line = SerialLines::Find(handle);
    return line != nullptr && !line->Connected();
}

QStringList OpenedPortNotes(THandle handle, const QString &name)
{
    const TSerialLine *line = SerialLines::Find(handle);
    if (line == nullptr)
        return {};
    QStringList notes;
    const TLineKind &kind = line->Kind();
    if (!kind.SetsSpeed)
        notes << QStringLiteral("%1: линия %2:// без управления портом, скорость и режим линии "
                                "задаёт %3")
                     .arg(name, QString::fromUtf8(kind.Scheme),
                          QString::fromUtf8(kind.SpeedSetBy != nullptr ? kind.SpeedSetBy
                                                                       : "сервер"));
    for (const QString &note : line->Notes())
        notes << QStringLiteral("%1: %2").arg(name, note);
    return notes;
}

TSerialLine::TInputWait WaitCOMInput(THandle handle, std::chrono::nanoseconds wait)
{
    const TSerialLine *line = SerialLines::Find(handle);
    if (line == nullptr)
        return TSerialLine::TInputWait::Gone;
    return line->WaitForInput(
        TDeadline(std::chrono::duration_cast<std::chrono::steady_clock::duration>(wait)));
}

void CancelCOMIo(THandle handle)
{
    if (TSerialLine *line = SerialLines::Find(handle))
        line->DiscardInput();
}

int ReadCOMPort(THandle handle, char *buffer, int bufferSize)
{
    if (buffer == nullptr || bufferSize < 0)
        return -1;
    TSerialLine *line = SerialLines::Find(handle);
    // No open line: nothing arrived, as on a line whose queue cannot be read.
    if (line == nullptr)
        return 0;
    const TResultOf<int> read = line->Read(buffer, bufferSize);
    return read ? read.Value() : -1;
}

void ReadCOMString(THandle handle, QByteArray &data)
{
    data.resize(COM_BUFFER_SIZE);
    const int count = ReadCOMPort(handle, data.data(), COM_BUFFER_SIZE);
    if (count > 0)
        data.resize(count);
    else
        data.clear();
}

int WriteCOMPort(THandle handle, const char *data, int count)
{
    if (count == 0)
        return 0;
    if (data == nullptr || count < 0)
        return -1;
    TSerialLine *line = SerialLines::Find(handle);
    if (line == nullptr)
        return -1;
    const TResultOf<int> written = line->Write(data, count);
    return written ? written.Value() : -1;
}

int WriteCOMString(THandle handle, const QByteArray &data)
{
    return WriteCOMPort(handle, data.constData(), int(data.size()));
}

void GetDosDevices(QStringList &list, const QString &prefix, TResult *discovery)
{
    QList<TPortMapEntry> entries;
    TResult saved = TResult::Success();
    if (TResult read = PortMap::Discover(entries, saved); !read)
        throw std::runtime_error(read.Reason().toStdString());
    if (discovery)
        *discovery =
            saved ? saved
                  : TResult::Failure(QStringLiteral("Найденные порты не добавлены в список: %1")
                                         .arg(saved.Reason()));
    // The same NUL-separated listing, ended by one more NUL, that the name walk expects.
    QString names;
    for (const TPortMapEntry &entry : entries) {
        if (LineKinds::IsPresent(entry.Path))
            names += entry.Name + QChar(u'\0');
    }
    names += QChar(u'\0');

    QStringList result;
    int pos = 1;
    QString name;
    for (;;) {
        NextDeviceName(names, pos, name);
        if (name.isEmpty())
            break;
        if (name.startsWith(prefix, Qt::CaseSensitive))
            result.append(name);
    }
    list = result;
}

void NextDeviceName(const QString &text, int &pos, QString &name)
{
    if (pos < 1)
        throw std::out_of_range("aStartPos должен быть больше 0");
    name.clear();
    if (text.size() < pos)
        return;
    const qsizetype nul = text.indexOf(QChar(u'\0'), pos - 1);
    if (nul < 0) {
        pos = 1;
        return;
    }
    name = text.mid(pos - 1, nul - (pos - 1));
    pos = int(nul) + 2;
}

void GetPortFriendlyNames(QStringList &list)
{
    list.clear();
    QList<TPortMapEntry> entries;
    // An unreadable map lists nothing, as a failed class query does.
    if (!PortMap::Load(entries))
        return;
    const QString sysRoot = PortMap::SysRoot();
    int index = 0;
    for (const TPortMapEntry &entry : entries) {
        if (!LineKinds::IsPresent(entry.Path))
            continue;
        list.append(QString::number(index++) + QStringLiteral(": ") +
                    LineKinds::Describe(sysRoot, entry.Path) + QStringLiteral(" (") + entry.Name +
                    u')');
    }
}

void ListenForCalls(TCallInListener &listener)
{
    QList<TPortMapEntry> entries;
    if (!PortMap::Load(entries))
        return;
    QList<TCallInListener::TPort> ports;
    for (const TPortMapEntry &entry : entries)
        ports.append({entry.Name, entry.Path});
    listener.Follow(ports);
}

void GetAbsentPortReasons(QStringList &list)
{
    list.clear();
    QList<TPortMapEntry> entries;
    if (!PortMap::Load(entries))
        return;
    for (const TPortMapEntry &entry : entries) {
        if (LineKinds::IsPresent(entry.Path))
            continue;
        if (const QString why = LineKinds::WhyAbsent(entry.Path); !why.isEmpty())
            list.append(why);
    }
}

bool IsCOMPortPresent(const QString &name)
{
    if (name.isEmpty())
        return false;
    // A line of the listing ends in the port's name in parentheses: the name must be the whole
    // of it, so that COM1 is not taken for present while only COM12 is.
    QStringList lines;
    GetPortFriendlyNames(lines);
    const QString ending = u'(' + name.toUpper() + u')';
    for (const QString &line : lines) {
        if (line.toUpper().endsWith(ending))
            return true;
    }
    return false;
}
