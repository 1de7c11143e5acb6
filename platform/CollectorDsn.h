// Where a crash collector takes reports: the address a user copies from the
// collector's project settings,
//   https://<public key>[:<secret>]@<host>[:<port>][/<path>]/<project id>
// and what follows from it (the envelope address, the auth header). Plain
// http is taken only for a collector on this machine's loopback: reports
// hold paths, user names and messages that must not cross a network in clear.
#pragma once

#include <string>
#include <string_view>

namespace zr::os {

struct TCollectorDsn {
    std::string Text;  // as given, for the envelope's header
    std::string Scheme;
    std::string PublicKey;
    std::string Host;  // an IPv6 address keeps its brackets
    int Port = 0;      // 0: the scheme's own
    std::string Path;  // "" or "/prefix"
    std::string ProjectId;

    // POST target: <scheme>://<host>[:<port>]<path>/api/<project>/envelope/
    std::string EnvelopeUrl() const;
    // The value of the X-Sentry-Auth header for a client called `client`.
    std::string AuthHeader(std::string_view client) const;
};

// False with a sentence for the user in `error` when `text` is no collector
// address this suite sends to.
bool ParseCollectorDsn(std::string_view text, TCollectorDsn& dsn, std::string& error);

// Whether `host` (as in a DSN) names this machine's loopback.
bool IsLoopbackHost(std::string_view host);

}  // namespace zr::os
