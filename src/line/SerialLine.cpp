#include "line/SerialLine.h"

#include "platform/Deadline.h"

#include <mutex>
#include <poll.h>
#include <unordered_map>

namespace
{

std::mutex linesMutex;
std::unordered_map<std::uint32_t, std::unique_ptr<TSerialLine>> lines;

} // namespace

TSerialLine::TInputWait TSerialLine::WaitForInput(const TDeadline &deadline) const
{
    if (HasInput())
        return TInputWait::Ready;
    // A lost network line stays readable (at its end of stream) with nothing to read.
    if (!Connected())
        return TInputWait::Gone;
    const int seen = WaitForDescriptor(Descriptor(), POLLIN, deadline);
    // A pulled line (hung up, its other side gone) reports itself ready at once, often with
    // POLLIN too, while nothing can ever be read from it.
    if (seen < 0 || (seen & (POLLHUP | POLLERR | POLLNVAL)) != 0)
        return TInputWait::Gone;
    return seen == 0 ? TInputWait::TimedOut : TInputWait::Ready;
}

namespace SerialLines
{

std::uint32_t Add(std::unique_ptr<TSerialLine> line)
{
    const auto handle = static_cast<std::uint32_t>(line->Descriptor());
    const std::lock_guard lock(linesMutex);
    lines[handle] = std::move(line);
    return handle;
}

TSerialLine *Find(std::uint32_t handle)
{
    const std::lock_guard lock(linesMutex);
    const auto it = lines.find(handle);
    return it == lines.end() ? nullptr : it->second.get();
}

std::unique_ptr<TSerialLine> Remove(std::uint32_t handle)
{
    const std::lock_guard lock(linesMutex);
    const auto it = lines.find(handle);
    if (it == lines.end())
        return nullptr;
    std::unique_ptr<TSerialLine> line = std::move(it->second);
    lines.erase(it);
    return line;
}

bool IsLost(const QString &path)
{
    const std::lock_guard lock(linesMutex);
    for (const auto &[handle, line] : lines) {
        if (line->Path() == path && !line->Connected())
            return true;
    }
    return false;
}

} // namespace SerialLines
