#include "platform/http/Http.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <memory>
#include <mutex>

#include <curl/curl.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

namespace corvane::platform {
namespace {

void globalInit() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct EasyDeleter {
    void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};
struct MultiDeleter {
    void operator()(CURLM* multi) const { curl_multi_cleanup(multi); }
};
struct CurlFree {
    void operator()(char* text) const { curl_free(text); }
};

// What the callbacks of one transfer share. Lives on get()'s stack for the whole transfer.
struct Transfer {
    const HttpRequest* request = nullptr;
    std::stop_token stop;
    HttpResponse response;
    bool tooLarge = false;
    bool certificateRejected = false;
    bool clientCertificateFailed = false;
};

bool startsWithNoCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) return false;
    return std::equal(prefix.begin(), prefix.end(), text.begin(), [](char a, char b) {
        return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
    });
}

// Refuses a reply that announces a body over the cap before any of it arrives.
std::size_t onHeader(char* data, std::size_t size, std::size_t count, void* user) {
    auto& transfer = *static_cast<Transfer*>(user);
    const std::size_t length = size * count;
    std::string_view line(data, length);
    constexpr std::string_view name = "content-length:";
    if (startsWithNoCase(line, name)) {
        line.remove_prefix(name.size());
        while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
        std::uint64_t declared = 0;
        const auto [end, ec] = std::from_chars(line.data(), line.data() + line.size(), declared);
        if (ec == std::errc::result_out_of_range ||
            (ec == std::errc() && end != line.data() && declared > transfer.request->maxBodyBytes)) {
            transfer.tooLarge = true;
            return 0;
        }
    }
    return length;
}

std::size_t onBody(char* data, std::size_t size, std::size_t count, void* user) {
    auto& transfer = *static_cast<Transfer*>(user);
    const std::size_t length = size * count;
    if (length > transfer.request->maxBodyBytes - std::min(transfer.request->maxBodyBytes, transfer.response.body.size())) {
        transfer.tooLarge = true;
        return 0;  // a short count makes curl end the transfer
    }
    transfer.response.body.insert(transfer.response.body.end(), data, data + length);
    return length;
}

int onProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return static_cast<Transfer*>(user)->stop.stop_requested() ? 1 : 0;
}

// Replaces OpenSSL's chain verification: the server's own certificate is handed to the request's judge,
// and nothing else (names, dates, issuers) is looked at. Failing here aborts the handshake, so the server
// never sees the request.
int verifyServer(X509_STORE_CTX* store, void* user) {
    auto& transfer = *static_cast<Transfer*>(user);
    bool accepted = false;
    if (X509* leaf = X509_STORE_CTX_get0_cert(store); leaf && transfer.request->acceptServerCertificate) {
        unsigned char* der = nullptr;
        const int length = i2d_X509(leaf, &der);
        if (length > 0) {
            try {
                accepted = transfer.request->acceptServerCertificate(ByteView(der, static_cast<std::size_t>(length)));
            } catch (...) {
                accepted = false;
            }
        }
        OPENSSL_free(der);
    }
    if (!accepted) {
        transfer.certificateRejected = true;
        X509_STORE_CTX_set_error(store, X509_V_ERR_APPLICATION_VERIFICATION);
    }
    return accepted ? 1 : 0;
}

CURLcode onSslContext(CURL*, void* sslContext, void* user) {
    auto& transfer = *static_cast<Transfer*>(user);
    auto* context = static_cast<SSL_CTX*>(sslContext);
    SSL_CTX_set_cert_verify_callback(context, verifyServer, &transfer);
    const HttpRequest& request = *transfer.request;
    if (request.clientCertificateDER && request.clientKey) {
        const Bytes& der = *request.clientCertificateDER;
        if (SSL_CTX_use_certificate_ASN1(context, static_cast<int>(der.size()), der.data()) != 1 ||
            SSL_CTX_use_PrivateKey(context, request.clientKey.native()) != 1 ||
            SSL_CTX_check_private_key(context) != 1) {
            transfer.clientCertificateFailed = true;
            return CURLE_SSL_CERTPROBLEM;
        }
    }
    return CURLE_OK;
}

// Everything outside the unreserved and path characters is percent-encoded.
std::string encodePath(std::string_view path) {
    static constexpr std::string_view allowed =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-._~!$&'()*+,;=:@/";
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string out;
    for (const char c : path) {
        if (allowed.find(c) != std::string_view::npos) {
            out += c;
        } else {
            const auto byte = static_cast<unsigned char>(c);
            out += '%';
            out += hex[byte >> 4];
            out += hex[byte & 0xF];
        }
    }
    return out;
}

std::string escape(const std::string& text) {
    std::unique_ptr<char, CurlFree> escaped(curl_easy_escape(nullptr, text.data(), static_cast<int>(text.size())));
    if (!escaped) throw HttpError(HttpError::Kind::badUrl, "bad URL");
    return escaped.get();
}

template <class T>
void setOption(CURL* easy, CURLoption option, T value) {
    if (curl_easy_setopt(easy, option, value) != CURLE_OK)
        throw HttpError(HttpError::Kind::other, "could not set up the request");
}

HttpError errorFor(CURLcode code, const Transfer& transfer, const char* detail) {
    using Kind = HttpError::Kind;
    if (transfer.certificateRejected) return HttpError(Kind::cancelled, "cancelled");
    if (transfer.tooLarge)
        return HttpError(Kind::tooLarge,
                         "the reply is larger than " + std::to_string(transfer.request->maxBodyBytes) + " bytes");
    if (code == CURLE_ABORTED_BY_CALLBACK || transfer.stop.stop_requested()) return HttpError(Kind::cancelled, "cancelled");
    const std::string text = detail && *detail ? detail : curl_easy_strerror(code);
    switch (code) {
    case CURLE_OPERATION_TIMEDOUT: return HttpError(Kind::timedOut, "the request timed out");
    case CURLE_COULDNT_CONNECT:
    case CURLE_COULDNT_RESOLVE_HOST: return HttpError(Kind::cannotConnect, "could not connect to the server: " + text);
    case CURLE_URL_MALFORMAT:
    case CURLE_UNSUPPORTED_PROTOCOL: return HttpError(Kind::badUrl, "bad URL: " + text);
    default: break;
    }
    if (transfer.clientCertificateFailed) return HttpError(Kind::other, "the client certificate could not be used");
    return HttpError(Kind::other, text);
}

} // namespace

namespace Http {

std::string url(const HttpRequest& request) {
    globalInit();
    if (request.host.empty() || request.port < 1 || request.port > 65535 || request.path.empty() ||
        request.path.front() != '/')
        throw HttpError(HttpError::Kind::badUrl, "bad URL");
    const bool ipv6 = request.host.find(':') != std::string::npos;
    std::string out = request.secure ? "https://" : "http://";
    out += ipv6 ? "[" + request.host + "]" : request.host;
    out += ":" + std::to_string(request.port);
    out += encodePath(request.path);
    char separator = '?';
    for (const auto& [name, value] : request.query) {
        out += separator;
        out += escape(name);
        out += '=';
        out += escape(value);
        separator = '&';
    }
    return out;
}

HttpResponse get(const HttpRequest& request, std::stop_token stop) {
    globalInit();
    const std::string address = url(request);
    if (stop.stop_requested()) throw HttpError(HttpError::Kind::cancelled, "cancelled");

    Transfer transfer;
    transfer.request = &request;
    transfer.stop = stop;

    std::unique_ptr<CURL, EasyDeleter> easyHolder(curl_easy_init());
    if (!easyHolder) throw HttpError(HttpError::Kind::other, "could not set up the request");
    CURL* easy = easyHolder.get();
    char detail[CURL_ERROR_SIZE] = {};

    setOption(easy, CURLOPT_URL, address.c_str());
    setOption(easy, CURLOPT_HTTPGET, 1L);
    setOption(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    setOption(easy, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
    setOption(easy, CURLOPT_NOSIGNAL, 1L);
    setOption(easy, CURLOPT_ERRORBUFFER, detail);
    // Straight to the host, whatever the environment says about proxies.
    setOption(easy, CURLOPT_PROXY, "");
    setOption(easy, CURLOPT_NOPROXY, "*");
    // Every request makes its own connection and its own full handshake, so each one checks the pin.
    setOption(easy, CURLOPT_FRESH_CONNECT, 1L);
    setOption(easy, CURLOPT_FORBID_REUSE, 1L);
    setOption(easy, CURLOPT_SSL_SESSIONID_CACHE, 0L);
    if (std::isfinite(request.timeoutSeconds) && request.timeoutSeconds > 0) {
        const double ms = std::min(std::ceil(request.timeoutSeconds * 1000), 1e12);
        setOption(easy, CURLOPT_TIMEOUT_MS, static_cast<long>(ms));
    }
    setOption(easy, CURLOPT_HEADERFUNCTION, onHeader);
    setOption(easy, CURLOPT_HEADERDATA, &transfer);
    setOption(easy, CURLOPT_WRITEFUNCTION, onBody);
    setOption(easy, CURLOPT_WRITEDATA, &transfer);
    setOption(easy, CURLOPT_NOPROGRESS, 0L);
    setOption(easy, CURLOPT_XFERINFOFUNCTION, onProgress);
    setOption(easy, CURLOPT_XFERINFODATA, &transfer);
    if (request.secure) {
        // The verify callback set on the context does all the checking: peer verification stays on so that
        // its refusal is fatal, the system's trust store is not consulted and the name is not compared.
        setOption(easy, CURLOPT_SSL_VERIFYPEER, 1L);
        setOption(easy, CURLOPT_SSL_VERIFYHOST, 0L);
        setOption(easy, CURLOPT_CAINFO, static_cast<const char*>(nullptr));
        setOption(easy, CURLOPT_CAPATH, static_cast<const char*>(nullptr));
        setOption(easy, CURLOPT_SSL_CTX_FUNCTION, onSslContext);
        setOption(easy, CURLOPT_SSL_CTX_DATA, &transfer);
    }

    std::unique_ptr<CURLM, MultiDeleter> multiHolder(curl_multi_init());
    if (!multiHolder) throw HttpError(HttpError::Kind::other, "could not set up the request");
    CURLM* multi = multiHolder.get();
    if (curl_multi_add_handle(multi, easy) != CURLM_OK)
        throw HttpError(HttpError::Kind::other, "could not set up the request");

    CURLcode result = CURLE_OK;
    {
        // A stop wakes the poll at once instead of waiting for its next slice.
        std::stop_callback wake(stop, [multi] { curl_multi_wakeup(multi); });
        int running = 1;
        bool multiFailed = false;
        while (true) {
            if (curl_multi_perform(multi, &running) != CURLM_OK) {
                multiFailed = true;
                break;
            }
            if (running == 0) break;
            if (stop.stop_requested()) break;
            if (curl_multi_poll(multi, nullptr, 0, 1000, nullptr) != CURLM_OK) {
                multiFailed = true;
                break;
            }
        }
        if (running != 0 || multiFailed) {
            result = stop.stop_requested() ? CURLE_ABORTED_BY_CALLBACK : CURLE_FAILED_INIT;
        } else {
            int queued = 0;
            while (CURLMsg* message = curl_multi_info_read(multi, &queued))
                if (message->msg == CURLMSG_DONE && message->easy_handle == easy) result = message->data.result;
        }
    }
    curl_multi_remove_handle(multi, easy);

    if (result != CURLE_OK) throw errorFor(result, transfer, detail);
    long status = 0;
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
    transfer.response.status = status;
    return std::move(transfer.response);
}

} // namespace Http
} // namespace corvane::platform
