#include "platform/CollectorTransport.h"

#include <curl/curl.h>
#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <mutex>

#include "platform/CollectorEnvelope.h"

namespace zr::os::collector {

namespace {

std::once_flag curlStarted;

struct TAnswer {
    std::string Body;
    std::string RetryAfter;
    std::string RateLimits;
};

std::size_t KeepBody(char* data, std::size_t size, std::size_t count, void* user) {
    auto* answer = static_cast<TAnswer*>(user);
    // Only the start of an answer body is of any use (an error's reason).
    if (answer->Body.size() < 4096) answer->Body.append(data, std::min(size * count, std::size_t{4096}));
    return size * count;
}

std::string Trimmed(std::string_view text) {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front())))
        text.remove_prefix(1);
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())))
        text.remove_suffix(1);
    return std::string(text);
}

std::size_t KeepHeader(char* data, std::size_t size, std::size_t count, void* user) {
    auto* answer = static_cast<TAnswer*>(user);
    const std::string_view line(data, size * count);
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) return size * count;
    std::string name(line.substr(0, colon));
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (name == "retry-after") answer->RetryAfter = Trimmed(line.substr(colon + 1));
    if (name == "x-sentry-rate-limits") answer->RateLimits = Trimmed(line.substr(colon + 1));
    return size * count;
}

}  // namespace

std::string Gzip(std::string_view text) {
    z_stream stream{};
    if (deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8,
                     Z_DEFAULT_STRATEGY) != Z_OK)
        return {};
    std::string out(deflateBound(&stream, text.size()) + 32, '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
    stream.avail_in = static_cast<uInt>(text.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    const int result = deflate(&stream, Z_FINISH);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    return result == Z_STREAM_END ? out : std::string();
}

std::string Gunzip(std::string_view data) {
    z_stream stream{};
    if (inflateInit2(&stream, 15 + 16) != Z_OK) return {};
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
        if (out.size() > envelope::MaxEnvelopeBytes) result = Z_DATA_ERROR;
        if (result == Z_BUF_ERROR && stream.avail_in == 0) break;
    }
    inflateEnd(&stream);
    return result == Z_STREAM_END ? out : std::string();
}

TTransport::TTransport() {
    std::call_once(curlStarted, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    multi_ = curl_multi_init();
}

TTransport::~TTransport() {
    curl_multi_cleanup(static_cast<CURLM*>(multi_));
}

void TTransport::Nudge() {
    curl_multi_wakeup(static_cast<CURLM*>(multi_));
}

void TTransport::Cancel() {
    cancelled_.store(true);
    curl_multi_wakeup(static_cast<CURLM*>(multi_));
}

TResponse TTransport::Post(const TCollectorDsn& dsn, std::string_view body,
                           const TTransportOptions& options) {
    TResponse response;
    if (cancelled_.load()) {
        response.Error = "cancelled";
        return response;
    }
    const std::string compressed = Gzip(body);
    CURL* easy = curl_easy_init();
    CURLM* multi = static_cast<CURLM*>(multi_);
    if (easy == nullptr || compressed.empty()) {
        if (easy != nullptr) curl_easy_cleanup(easy);
        response.Error = "could not prepare the request";
        return response;
    }
    const std::string url = dsn.EnvelopeUrl();
    const std::string auth =
        "X-Sentry-Auth: " + dsn.AuthHeader(std::string(envelope::ClientName) + "/1.5.0");
    curl_slist* headers = nullptr;
    headers = curl_slist_append(headers, auth.c_str());
    headers = curl_slist_append(headers, "Content-Type: application/x-sentry-envelope");
    headers = curl_slist_append(headers, "Content-Encoding: gzip");
    headers = curl_slist_append(headers, "Expect:");
    TAnswer answer;
    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(easy, CURLOPT_POST, 1L);
    curl_easy_setopt(easy, CURLOPT_POSTFIELDS, compressed.data());
    curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(compressed.size()));
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, KeepBody);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &answer);
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, KeepHeader);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, &answer);
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, options.ConnectTimeoutMs);
    curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, options.TotalTimeoutMs);
    curl_easy_setopt(easy, CURLOPT_USERAGENT, "zoririve-collector/1.5");
    // Redirects would carry the report somewhere the user never named.
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    if (!options.CaFile.empty()) curl_easy_setopt(easy, CURLOPT_CAINFO, options.CaFile.c_str());
    curl_multi_add_handle(multi, easy);
    int running = 1;
    CURLMcode state = CURLM_OK;
    while (running > 0 && state == CURLM_OK && !cancelled_.load()) {
        state = curl_multi_perform(multi, &running);
        if (running > 0 && state == CURLM_OK) {
            state = curl_multi_poll(multi, nullptr, 0, 1000, nullptr);
            if (betweenPolls_ && !cancelled_.load()) betweenPolls_();
        }
    }
    CURLcode result = CURLE_ABORTED_BY_CALLBACK;
    int left = 0;
    while (CURLMsg* message = curl_multi_info_read(multi, &left))
        if (message->msg == CURLMSG_DONE && message->easy_handle == easy) result = message->data.result;
    if (cancelled_.load()) result = CURLE_ABORTED_BY_CALLBACK;
    if (result == CURLE_OK) {
        curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &response.Status);
        response.RetryAfter = answer.RetryAfter;
        response.RateLimits = answer.RateLimits;
        if (response.Status < 200 || response.Status > 299) response.Error = Trimmed(answer.Body);
    } else {
        response.Error = cancelled_.load() ? "cancelled" : curl_easy_strerror(result);
    }
    curl_multi_remove_handle(multi, easy);
    curl_easy_cleanup(easy);
    curl_slist_free_all(headers);
    return response;
}

}  // namespace zr::os::collector
