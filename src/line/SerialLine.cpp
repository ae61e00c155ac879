#include "line/SerialLine.h"

#include <mutex>
#include <unordered_map>

namespace
{

std::mutex linesMutex;
std::unordered_map<std::uint32_t, std::unique_ptr<TSerialLine>> lines;

} // namespace

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
