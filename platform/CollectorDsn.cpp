#include "platform/CollectorDsn.h"

#include <arpa/inet.h>

#include <algorithm>

namespace zr::os {

namespace {

bool AllOf(std::string_view text, bool (*allowed)(char)) {
    return !text.empty() && std::all_of(text.begin(), text.end(), allowed);
}

bool IsKeyChar(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-' ||
           c == '_';
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

bool IsHostChar(char c) {
    return IsKeyChar(c) || c == '.';
}

bool IsPathChar(char c) {
    return IsKeyChar(c) || c == '.' || c == '/' || c == '~';
}

bool Refuse(std::string& error, std::string_view text, const std::string& why) {
    error = "The collector address '" + std::string(text) + "' " + why +
            " (expected https://<public key>@<host>[:<port>]/<project id>).";
    return false;
}

}  // namespace

bool IsLoopbackHost(std::string_view host) {
    if (host == "localhost" || host == "[::1]") return true;
    in_addr v4{};
    const std::string plain(host);
    return inet_pton(AF_INET, plain.c_str(), &v4) == 1 && (ntohl(v4.s_addr) >> 24) == 127;
}

bool ParseCollectorDsn(std::string_view text, TCollectorDsn& dsn, std::string& error) {
    dsn = TCollectorDsn{};
    dsn.Text = std::string(text);
    const size_t schemeEnd = text.find("://");
    if (schemeEnd == std::string_view::npos) return Refuse(error, text, "has no scheme");
    dsn.Scheme = std::string(text.substr(0, schemeEnd));
    if (dsn.Scheme != "https" && dsn.Scheme != "http")
        return Refuse(error, text, "is neither https nor http");
    std::string_view rest = text.substr(schemeEnd + 3);
    if (rest.find_first_of("?# \t\r\n") != std::string_view::npos)
        return Refuse(error, text, "holds a query, a fragment or a blank");
    const size_t at = rest.find('@');
    if (at == std::string_view::npos) return Refuse(error, text, "names no public key");
    std::string_view key = rest.substr(0, at);
    if (const size_t colon = key.find(':'); colon != std::string_view::npos) {
        if (!AllOf(key.substr(colon + 1), IsKeyChar))
            return Refuse(error, text, "has a malformed secret");
        key = key.substr(0, colon);
    }
    if (!AllOf(key, IsKeyChar)) return Refuse(error, text, "has a malformed public key");
    dsn.PublicKey = std::string(key);
    rest = rest.substr(at + 1);
    const size_t slash = rest.find('/');
    if (slash == std::string_view::npos) return Refuse(error, text, "names no project");
    std::string_view hostPort = rest.substr(0, slash);
    std::string_view path = rest.substr(slash);
    size_t portColon = std::string_view::npos;
    if (!hostPort.empty() && hostPort[0] == '[') {
        const size_t close = hostPort.find(']');
        if (close == std::string_view::npos) return Refuse(error, text, "has a malformed host");
        dsn.Host = std::string(hostPort.substr(0, close + 1));
        in6_addr v6{};
        if (inet_pton(AF_INET6, std::string(hostPort.substr(1, close - 1)).c_str(), &v6) != 1)
            return Refuse(error, text, "has a malformed IPv6 host");
        if (close + 1 < hostPort.size()) {
            if (hostPort[close + 1] != ':') return Refuse(error, text, "has a malformed host");
            portColon = close + 1;
        }
    } else {
        portColon = hostPort.find(':');
        dsn.Host = std::string(hostPort.substr(0, portColon));
        if (!AllOf(dsn.Host, IsHostChar)) return Refuse(error, text, "has a malformed host");
    }
    if (portColon != std::string_view::npos) {
        const std::string_view port = hostPort.substr(portColon + 1);
        if (!AllOf(port, IsDigit) || port.size() > 5) return Refuse(error, text, "has a bad port");
        dsn.Port = std::stoi(std::string(port));
        if (dsn.Port < 1 || dsn.Port > 65535) return Refuse(error, text, "has a bad port");
    }
    while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
    const size_t last = path.rfind('/');
    const std::string_view project = path.substr(last + 1);
    if (!AllOf(project, IsDigit)) return Refuse(error, text, "names no numeric project id");
    dsn.ProjectId = std::string(project);
    dsn.Path = std::string(path.substr(0, last));
    if (!dsn.Path.empty() && (!AllOf(dsn.Path, IsPathChar) || dsn.Path.find("..") != std::string::npos))
        return Refuse(error, text, "has a malformed path");
    if (dsn.Scheme == "http" && !IsLoopbackHost(dsn.Host))
        return Refuse(error, text,
                      "is plain http to another machine; reports cross networks only over https");
    return true;
}

std::string TCollectorDsn::EnvelopeUrl() const {
    std::string url = Scheme + "://" + Host;
    if (Port != 0) url += ":" + std::to_string(Port);
    return url + Path + "/api/" + ProjectId + "/envelope/";
}

std::string TCollectorDsn::AuthHeader(std::string_view client) const {
    return "Sentry sentry_key=" + PublicKey + ", sentry_version=7, sentry_client=" +
           std::string(client);
}

}  // namespace zr::os
