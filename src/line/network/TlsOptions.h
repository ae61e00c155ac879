#pragma once

#include <QString>
#include <QStringView>

#include <optional>

// How a line over TLS checks the server and shows itself, from the options of its port-map path
// ("rfc2217+tls://host:port?ca=/etc/lindqvar/server.pem&name=nport.local"):
//   ca=<file>              the certificates to trust (PEM); without it, the system's store. Any
//                          certificate named here is trusted as it stands, the server's own
//                          self-signed one included;
//   cert=<file>&key=<file> a client certificate and its key, for servers that demand one;
//   name=<text>            the name (or IP address) the server's certificate must carry, where it
//                          differs from the host the line connects to.
// Files are absolute paths, written as they are (a value ends at the next '&').
struct TTlsOptions {
    QString Ca;
    QString Cert;
    QString Key;
    QString Name;

    // The options after the '?' (empty: none given); none for an unknown option, one given twice,
    // an empty value, a file that is not an absolute path, a certificate without its key or the
    // other way round, or a name that no certificate could carry.
    static std::optional<TTlsOptions> Parse(QStringView query);
};
