#pragma once
// Adds and removes one "COM<n>=<path>" line of a ports.conf map. Every change takes an exclusive
// lock on "<file>.lock", rewrites the file into a temporary file beside it and renames it over
// the original, so concurrent tools and readers never see a half-written map; other lines stay.
#include <string>

namespace tools
{
// Points com at path. A line for com that names oldPath (our previous pty) or a path that no
// longer exists is replaced in place; a line naming another present path is refused.
bool portsConfSet(const std::string &file, const std::string &com, const std::string &path,
                  const std::string &oldPath, std::string &error);
// Removes the line "com=path" only; a line that someone else changed is left alone.
bool portsConfRemove(const std::string &file, const std::string &com, const std::string &path,
                     std::string &error);
bool validComName(const std::string &com);
} // namespace tools
