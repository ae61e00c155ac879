#include "line/network/TlsOptions.h"

#include "line/network/NetAddress.h"

namespace
{

bool IsFile(QStringView value)
{
    return value.startsWith(u'/') && !value.contains(u'\0');
}

// A host name or an address literal: ASCII letters, digits and the punctuation they use.
bool IsName(QStringView value)
{
    if (value.isEmpty() || value.size() > 253)
        return false;
    for (const QChar c : value) {
        const char16_t u = c.unicode();
        const bool ok = (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') ||
                        (u >= '0' && u <= '9') || u == '.' || u == '-' || u == '_' || u == ':';
        if (!ok)
            return false;
    }
    return true;
}

} // namespace

std::optional<TTlsOptions> TTlsOptions::Parse(QStringView query)
{
    TTlsOptions options;
    const bool understood = ParseOptions(query, [&](QStringView key, QStringView value) {
        QString *slot = nullptr;
        bool (*valid)(QStringView) = IsFile;
        if (key == QLatin1String("ca")) {
            slot = &options.Ca;
        } else if (key == QLatin1String("cert")) {
            slot = &options.Cert;
        } else if (key == QLatin1String("key")) {
            slot = &options.Key;
        } else if (key == QLatin1String("name")) {
            slot = &options.Name;
            valid = IsName;
        }
        // Unknown, given twice, or not what it should be.
        if (slot == nullptr || !slot->isEmpty() || !valid(value))
            return false;
        *slot = value.toString();
        return true;
    });
    if (!understood)
        return std::nullopt;
    if (options.Cert.isEmpty() != options.Key.isEmpty())
        return std::nullopt;
    return options;
}
