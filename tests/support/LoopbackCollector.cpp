#include "tests/support/LoopbackCollector.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <chrono>
#include <cstdlib>
#include <regex>

#include "platform/JsonText.h"

namespace zr::testing {

namespace {

using os::json::TValue;

constexpr const char* kKey = "0123456789abcdef0123456789abcdef";

bool Run(const std::string& command) {
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

std::string Gunzipped(const std::string& data, bool& ok) {
    z_stream stream{};
    ok = false;
    if (inflateInit2(&stream, 15 + 16) != Z_OK) return "";
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    stream.avail_in = static_cast<uInt>(data.size());
    std::string out;
    char buffer[16384];
    int result = Z_OK;
    while (result == Z_OK) {
        stream.next_out = reinterpret_cast<Bytef*>(buffer);
        stream.avail_out = sizeof buffer;
        result = inflate(&stream, Z_NO_FLUSH);
        out.append(buffer, sizeof buffer - stream.avail_out);
        if (result == Z_BUF_ERROR) break;
    }
    inflateEnd(&stream);
    ok = result == Z_STREAM_END;
    return out;
}

std::string HeaderValue(const std::string& head, const std::string& name) {
    std::string lower = head;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const std::string key = "\r\n" + name + ":";
    const std::size_t at = lower.find(key);
    if (at == std::string::npos) return "";
    std::size_t start = at + key.size();
    while (start < head.size() && head[start] == ' ') ++start;
    return head.substr(start, head.find("\r\n", start) - start);
}

int Count(const std::string& text, const std::string& part) {
    int count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

bool IsString(const TValue* value) {
    return value != nullptr && value->Kind == TValue::String;
}

bool IsHexAddress(const TValue* value) {
    static const std::regex form("0x[0-9a-f]+");
    return IsString(value) && std::regex_match(value->Text, form);
}

bool IsWholeNumber(const TValue* value) {
    return value != nullptr && value->Kind == TValue::Number &&
           value->Text.find_first_of(".eE") == std::string::npos && value->Num >= 0;
}

std::string FrameRuleBroken(const TValue& frame) {
    if (frame.Kind != TValue::Object) return "a frame is no object";
    if (!IsHexAddress(frame.Find("instruction_addr"))) return "a frame without instruction_addr";
    const TValue* line = frame.Find("lineno");
    if (line != nullptr && !IsWholeNumber(line)) return "a lineno that is no whole number";
    const TValue* inApp = frame.Find("in_app");
    if (inApp == nullptr || inApp->Kind != TValue::Bool) return "a frame without in_app";
    for (const char* text : {"function", "filename", "package", "abs_path"})
        if (frame.Find(text) != nullptr && !IsString(frame.Find(text)))
            return std::string("a frame's ") + text + " is no string";
    return "";
}

std::string ImageRuleBroken(const TValue& image) {
    static const std::regex uuid("[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}");
    static const std::regex hex("[0-9a-f]*");
    if (image.StringAt("type") != "elf") return "an image that is not elf";
    if (!IsString(image.Find("code_file"))) return "an image without code_file";
    if (!std::regex_match(image.StringAt("debug_id"), uuid)) return "an image's debug_id is no GUID";
    if (!std::regex_match(image.StringAt("code_id"), hex)) return "an image's code_id is no hex";
    if (!IsHexAddress(image.Find("image_addr"))) return "an image without image_addr";
    if (!IsWholeNumber(image.Find("image_size"))) return "an image without image_size";
    return "";
}

}  // namespace

std::string MinimalEvent(const std::string& eventId, const std::string& type,
                         const std::string& message) {
    return "{\"event_id\":\"" + eventId +
           "\",\"timestamp\":1,\"platform\":\"native\",\"level\":\"error\",\"exception\":{"
           "\"values\":[{\"type\":" + os::json::Quoted(type) + ",\"value\":" + os::json::Quoted(message) +
           ",\"mechanism\":{\"type\":\"t\",\"handled\":true},\"stacktrace\":{\"frames\":[]}}]},"
           "\"contexts\":{\"os\":{\"name\":\"Linux\"},\"device\":{}},\"debug_meta\":{\"images\":[]}}";
}

std::string EventRuleBroken(const std::string& eventJson) {
    TValue event;
    std::string error;
    if (!os::json::Parse(eventJson, event, &error)) return "the event is no JSON: " + error;
    if (event.Kind != TValue::Object) return "the event is no object";
    if (!std::regex_match(event.StringAt("event_id"), std::regex("[0-9a-f]{32}")))
        return "event_id is not 32 hex digits";
    const TValue* timestamp = event.Find("timestamp");
    if (timestamp == nullptr || (timestamp->Kind != TValue::Number && timestamp->Kind != TValue::String))
        return "no timestamp";
    if (event.StringAt("platform") != "native") return "platform is not native";
    const std::string level = event.StringAt("level");
    if (level != "error" && level != "fatal") return "level is " + level;
    const TValue* exception = event.Find("exception");
    const TValue* values = exception ? exception->Find("values") : nullptr;
    if (values == nullptr || values->Kind != TValue::Array || values->Items.empty())
        return "no exception.values";
    for (const TValue& value : values->Items) {
        if (!IsString(value.Find("type")) || !IsString(value.Find("value")))
            return "an exception without type or value";
        const TValue* mechanism = value.Find("mechanism");
        if (mechanism == nullptr || !IsString(mechanism->Find("type")))
            return "a mechanism without type";
        const TValue* handled = mechanism->Find("handled");
        if (handled == nullptr || handled->Kind != TValue::Bool) return "mechanism.handled missing";
        const TValue* stack = value.Find("stacktrace");
        const TValue* frames = stack ? stack->Find("frames") : nullptr;
        if (frames == nullptr || frames->Kind != TValue::Array) return "no stacktrace.frames";
        for (const TValue& frame : frames->Items)
            if (std::string broken = FrameRuleBroken(frame); !broken.empty()) return broken;
    }
    const TValue* contexts = event.Find("contexts");
    if (contexts == nullptr || contexts->Kind != TValue::Object) return "no contexts";
    for (const char* name : {"os", "device"}) {
        const TValue* context = contexts->Find(name);
        if (context == nullptr || context->Kind != TValue::Object)
            return std::string("no contexts.") + name;
    }
    if (!IsString(contexts->Find("os")->Find("name"))) return "contexts.os without name";
    const TValue* meta = event.Find("debug_meta");
    const TValue* images = meta ? meta->Find("images") : nullptr;
    if (images == nullptr || images->Kind != TValue::Array) return "no debug_meta.images";
    for (const TValue& image : images->Items)
        if (std::string broken = ImageRuleBroken(image); !broken.empty()) return broken;
    return "";
}

TLoopbackCollector::TLoopbackCollector(const std::string& folder) {
    // A client killed in the middle of a request must not take the test
    // process along when the answer is written to its closed connection.
    signal(SIGPIPE, SIG_IGN);
    caFile_ = folder + "/ca.pem";
    certFile_ = folder + "/server.pem";
    keyFile_ = folder + "/server.key";
    const std::string ca = folder + "/ca.key", csr = folder + "/server.csr",
                      ext = folder + "/server.ext";
    Run("printf 'subjectAltName=IP:127.0.0.1\\nbasicConstraints=CA:FALSE\\n' > " + ext);
    const bool made =
        Run("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 1 "
            "-subj /CN=loopback-test-ca -keyout " + ca + " -out " + caFile_) &&
        Run("openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj /CN=127.0.0.1 "
            "-keyout " + keyFile_ + " -out " + csr) &&
        Run("openssl x509 -req -in " + csr + " -CA " + caFile_ + " -CAkey " + ca +
            " -CAcreateserial -days 1 -extfile " + ext + " -out " + certFile_);
    SSL_CTX* context = SSL_CTX_new(TLS_server_method());
    if (!made || SSL_CTX_use_certificate_file(context, certFile_.c_str(), SSL_FILETYPE_PEM) != 1 ||
        SSL_CTX_use_PrivateKey_file(context, keyFile_.c_str(), SSL_FILETYPE_PEM) != 1)
        violations_.push_back("the test's certificates could not be made");
    context_ = context;
    Listen();
    thread_ = std::thread([this] { Serve(); });
}

TLoopbackCollector::~TLoopbackCollector() {
    stopping_.store(true);
    thread_.join();
    if (listener_ >= 0) close(listener_);
    for (int fd : held_) close(fd);
    SSL_CTX_free(static_cast<SSL_CTX*>(context_));
}

void TLoopbackCollector::Listen() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int yes = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port_));
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, 64) != 0) {
        close(fd);
        std::lock_guard guard(lock_);
        violations_.push_back("the test's collector could not listen");
        return;
    }
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    std::lock_guard guard(lock_);
    listener_ = fd;
}

std::string TLoopbackCollector::Dsn() const {
    return std::string("https://") + kKey + "@127.0.0.1:" + std::to_string(port_) + "/42";
}

void TLoopbackCollector::SetMode(TCollectorMode mode, int status, const std::string& extraHeaders) {
    std::unique_lock guard(lock_);
    const TCollectorMode before = mode_;
    mode_ = mode;
    status_ = status;
    extraHeaders_ = extraHeaders;
    for (int fd : held_) close(fd);
    held_.clear();
    if (mode == TCollectorMode::Down && listener_ >= 0) {
        close(listener_);
        listener_ = -1;
    }
    if (before == TCollectorMode::Down && mode != TCollectorMode::Down && listener_ < 0) {
        guard.unlock();
        Listen();
    }
}

void TLoopbackCollector::Serve() {
    while (!stopping_.load()) {
        int fd = -1;
        {
            std::lock_guard guard(lock_);
            fd = listener_;
        }
        if (fd < 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            continue;
        }
        pollfd waiting{fd, POLLIN, 0};
        if (poll(&waiting, 1, 20) <= 0) continue;
        const int connection = accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection >= 0) Handle(connection);
    }
}

void TLoopbackCollector::Handle(int fd) {
    TCollectorMode mode;
    int status;
    std::string extra;
    {
        std::lock_guard guard(lock_);
        mode = mode_, status = status_, extra = extraHeaders_;
        if (mode == TCollectorMode::Silent) {
            held_.push_back(fd);
            answers_.push_back(0);
            return;
        }
        if (mode == TCollectorMode::Reset) answers_.push_back(0);
    }
    if (mode == TCollectorMode::Reset) {
        const linger abort{1, 0};
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
        close(fd);
        return;
    }
    timeval patience{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
    SSL* ssl = SSL_new(static_cast<SSL_CTX*>(context_));
    SSL_set_fd(ssl, fd);
    std::string request;
    if (SSL_accept(ssl) == 1) {
        char buffer[16384];
        std::size_t headEnd = std::string::npos;
        std::size_t want = 0;
        for (;;) {
            const int n = SSL_read(ssl, buffer, sizeof buffer);
            if (n <= 0) break;
            request.append(buffer, static_cast<std::size_t>(n));
            if (headEnd == std::string::npos && (headEnd = request.find("\r\n\r\n")) != std::string::npos)
                want = headEnd + 4 + std::strtoul(HeaderValue(request.substr(0, headEnd + 2), "content-length").c_str(), nullptr, 10);
            if (headEnd != std::string::npos && request.size() >= want) break;
        }
        if (headEnd != std::string::npos) {
            const std::string head = request.substr(0, headEnd + 2);
            const std::string body = request.substr(headEnd + 4);
            TReceived received;
            const std::string broken = Check(head, body, received);
            int answer = mode == TCollectorMode::Status ? status : 200;
            if (!broken.empty()) answer = 400;
            const std::string payload = "{\"id\":\"" + received.EventId + "\"}";
            const std::string response = "HTTP/1.1 " + std::to_string(answer) + " Answer\r\n" +
                                         (answer == 400 ? std::string() : extra) +
                                         "Content-Type: application/json\r\nContent-Length: " +
                                         std::to_string(payload.size()) +
                                         "\r\nConnection: close\r\n\r\n" + payload;
            SSL_write(ssl, response.data(), static_cast<int>(response.size()));
            std::lock_guard guard(lock_);
            answers_.push_back(answer);
            if (!broken.empty()) violations_.push_back(broken);
            if (answer >= 200 && answer <= 299) taken_.push_back(received);
            changed_.notify_all();
        }
        SSL_shutdown(ssl);
    }
    SSL_free(ssl);
    close(fd);
}

std::string TLoopbackCollector::Check(const std::string& head, const std::string& body,
                                      TReceived& received) {
    if (head.rfind("POST /api/42/envelope/ HTTP/1.1\r\n", 0) != 0) return "not a POST to the envelope path";
    const std::string auth = HeaderValue(head, "x-sentry-auth");
    if (auth.rfind("Sentry ", 0) != 0 || auth.find(std::string("sentry_key=") + kKey) == std::string::npos ||
        auth.find("sentry_version=7") == std::string::npos || auth.find("sentry_client=") == std::string::npos)
        return "a bad auth header: " + auth;
    if (HeaderValue(head, "content-type") != "application/x-sentry-envelope")
        return "a bad content type";
    std::string text = body;
    if (HeaderValue(head, "content-encoding") == "gzip") {
        bool ok = false;
        text = Gunzipped(body, ok);
        if (!ok) return "a body that is not gzip";
    }
    // The grammar: a header line, then items of header line, exactly
    // `length` bytes and a line break.
    std::size_t at = text.find('\n');
    if (at == std::string::npos) return "no envelope header line";
    TValue header;
    if (!os::json::Parse(text.substr(0, at), header) || header.Kind != TValue::Object)
        return "the envelope header is no JSON object";
    if (Count(text.substr(0, at), "\"sent_at\"") != 1) return "sent_at is not there exactly once";
    received.EventId = header.StringAt("event_id");
    ++at;
    int events = 0;
    while (at < text.size()) {
        const std::size_t lineEnd = text.find('\n', at);
        if (lineEnd == std::string::npos) return "an item header without a line break";
        TValue item;
        if (!os::json::Parse(text.substr(at, lineEnd - at), item) || item.Kind != TValue::Object)
            return "an item header is no JSON object";
        const TValue* length = item.Find("length");
        if (length == nullptr || length->Kind != TValue::Number) return "an item without length";
        const auto size = static_cast<std::size_t>(length->Num);
        at = lineEnd + 1;
        if (at + size > text.size()) return "an item's length runs past the envelope";
        const std::string payload = text.substr(at, size);
        at += size;
        if (at < text.size() && text[at++] != '\n') return "a payload not ended by a line break";
        const std::string type = item.StringAt("type");
        received.ItemTypes.push_back(type);
        if (type == "event") {
            if (++events > 1) return "more than one event in an envelope";
            if (std::string broken = EventRuleBroken(payload); !broken.empty()) return broken;
            received.EventJson = payload;
            TValue event;
            os::json::Parse(payload, event);
            if (event.StringAt("event_id") != received.EventId) return "the event's id is not the envelope's";
        } else if (type == "attachment") {
            if (item.StringAt("filename").empty()) return "an attachment without filename";
            received.AttachmentNames.push_back(item.StringAt("filename"));
            if (item.StringAt("filename") == "report.txt") received.ReportText = payload;
        } else if (type == "client_report") {
            TValue report;
            if (!os::json::Parse(payload, report) || report.Find("discarded_events") == nullptr)
                return "a client report without discarded_events";
            received.EventJson.clear();
        } else {
            return "an item of unknown type " + type;
        }
    }
    return "";
}

std::vector<TReceived> TLoopbackCollector::Taken() const {
    std::lock_guard guard(lock_);
    return taken_;
}

std::set<std::string> TLoopbackCollector::TakenEventIds() const {
    std::lock_guard guard(lock_);
    std::set<std::string> ids;
    for (const TReceived& received : taken_)
        if (!received.EventJson.empty()) ids.insert(received.EventId);
    return ids;
}

std::vector<int> TLoopbackCollector::Answers() const {
    std::lock_guard guard(lock_);
    return answers_;
}

std::vector<std::string> TLoopbackCollector::Violations() const {
    std::lock_guard guard(lock_);
    return violations_;
}

bool TLoopbackCollector::WaitForTaken(std::size_t count, int timeoutMs) const {
    std::unique_lock guard(lock_);
    return changed_.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                             [&] { return taken_.size() >= count; });
}

}  // namespace zr::testing
