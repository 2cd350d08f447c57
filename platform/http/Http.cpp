#include "platform/http/Http.hpp"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <limits>
#include <memory>
#include <mutex>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <curl/curl.h>
#include <strings.h>
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

using Clock = std::chrono::steady_clock;

constexpr long kFileUploadBuffer = 1L << 20;

// A file descriptor closed with its holder.
struct FileHandle {
    int fd = -1;
    ~FileHandle() {
        if (fd >= 0) ::close(fd);
    }
};

// What the callbacks of one transfer share. Lives on perform()'s stack for the whole transfer.
struct Transfer {
    const HttpRequest* request = nullptr;
    const HttpReceiver* receiver = nullptr;
    CURL* easy = nullptr;
    std::stop_token stop;
    HttpResponse response;
    bool tooLarge = false;
    bool certificateRejected = false;
    bool clientCertificateFailed = false;
    bool headDelivered = false;
    bool bodyUnreadable = false;
    std::string refusedCoding;  // a coding the reply used that was not asked for
    std::exception_ptr failure;  // thrown by a callback of the caller's; rethrown once curl has let go
    // The request body: from memory, or from a file read in order.
    const Bytes* memoryBody = nullptr;
    std::size_t memoryOffset = 0;
    int bodyFd = -1;
    std::uint64_t bodyRemaining = 0;
    std::uint64_t lastSent = 0;
    std::uint64_t lastReceived = 0;
    Clock::time_point lastActivity = Clock::now();
};

void deliverHead(Transfer& transfer) {
    if (transfer.headDelivered || !transfer.receiver) return;
    transfer.headDelivered = true;
    long status = 0;
    curl_easy_getinfo(transfer.easy, CURLINFO_RESPONSE_CODE, &status);
    curl_off_t length = -1;
    curl_easy_getinfo(transfer.easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
    if (transfer.receiver->onHead)
        transfer.receiver->onHead(status, length >= 0 ? std::optional<std::uint64_t>(static_cast<std::uint64_t>(length))
                                                       : std::nullopt);
}

// The trust store named by CURL_CA_BUNDLE, else SSL_CERT_FILE, or none (the system's).
const char* trustStoreFile() {
    for (const char* name : {"CURL_CA_BUNDLE", "SSL_CERT_FILE"})
        if (const char* value = std::getenv(name); value && *value) return value;
    return nullptr;
}

bool startsWithNoCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) return false;
    return std::equal(prefix.begin(), prefix.end(), text.begin(), [](char a, char b) {
        return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
    });
}

// A coding in a Transfer-Encoding or Content-Encoding header line other than "chunked" (transfer only) and
// "identity": we never ask for one, and curl would otherwise unpack a small reply into a huge body.
std::optional<std::string> unaskedCoding(std::string_view line) {
    constexpr std::string_view transfer = "transfer-encoding:";
    constexpr std::string_view content = "content-encoding:";
    const bool isTransfer = startsWithNoCase(line, transfer);
    if (!isTransfer && !startsWithNoCase(line, content)) return std::nullopt;
    line.remove_prefix(isTransfer ? transfer.size() : content.size());
    while (!line.empty()) {
        const auto comma = line.find(',');
        std::string_view token = line.substr(0, comma);
        line.remove_prefix(comma == std::string_view::npos ? line.size() : comma + 1);
        const auto isBlank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
        while (!token.empty() && isBlank(token.front())) token.remove_prefix(1);
        while (!token.empty() && isBlank(token.back())) token.remove_suffix(1);
        if (token.empty()) continue;
        const auto is = [&](std::string_view word) { return token.size() == word.size() && startsWithNoCase(token, word); };
        if (is("identity") || (isTransfer && is("chunked"))) continue;
        return std::string(token.substr(0, 64));
    }
    return std::nullopt;
}

// Refuses a reply that announces a body over the cap before any of it arrives.
std::size_t onHeader(char* data, std::size_t size, std::size_t count, void* user) {
    auto& transfer = *static_cast<Transfer*>(user);
    const std::size_t length = size * count;
    transfer.lastActivity = Clock::now();
    std::string_view line(data, length);
    if (const auto coding = unaskedCoding(line)) {
        transfer.refusedCoding = *coding;
        return 0;
    }
    constexpr std::string_view name = "content-length:";
    // A receiver keeps its own count and judges the announced length itself.
    if (!transfer.receiver && startsWithNoCase(line, name)) {
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
    transfer.lastActivity = Clock::now();
    if (transfer.receiver) {
        try {
            deliverHead(transfer);
            if (transfer.receiver->onBody)
                transfer.receiver->onBody(ByteView(reinterpret_cast<const std::uint8_t*>(data), length));
        } catch (...) {
            transfer.failure = std::current_exception();
            return 0;
        }
        return length;
    }
    if (length > transfer.request->maxBodyBytes - std::min(transfer.request->maxBodyBytes, transfer.response.body.size())) {
        transfer.tooLarge = true;
        return 0;  // a short count makes curl end the transfer
    }
    transfer.response.body.insert(transfer.response.body.end(), data, data + length);
    return length;
}

// Feeds the request body, from memory or from the file, never past the size announced for it.
std::size_t onRead(char* buffer, std::size_t size, std::size_t count, void* user) {
    auto& transfer = *static_cast<Transfer*>(user);
    const std::size_t room = size * count;
    if (transfer.memoryBody) {
        const std::size_t n = std::min(room, transfer.memoryBody->size() - transfer.memoryOffset);
        std::memcpy(buffer, transfer.memoryBody->data() + transfer.memoryOffset, n);
        transfer.memoryOffset += n;
        return n;
    }
    const std::size_t wanted = static_cast<std::size_t>(std::min<std::uint64_t>(room, transfer.bodyRemaining));
    if (wanted == 0) return 0;
    ssize_t n = 0;
    do {
        n = ::read(transfer.bodyFd, buffer, wanted);
    } while (n < 0 && errno == EINTR);
    // A file that shrank or cannot be read ends the upload instead of sending less than announced.
    if (n <= 0) {
        transfer.bodyUnreadable = true;
        return CURL_READFUNC_ABORT;
    }
    transfer.bodyRemaining -= static_cast<std::uint64_t>(n);
    return static_cast<std::size_t>(n);
}

int onProgress(void* user, curl_off_t, curl_off_t dlnow, curl_off_t, curl_off_t ulnow) {
    auto& transfer = *static_cast<Transfer*>(user);
    if (transfer.stop.stop_requested()) return 1;
    const auto received = static_cast<std::uint64_t>(std::max<curl_off_t>(dlnow, 0));
    const auto sent = static_cast<std::uint64_t>(std::max<curl_off_t>(ulnow, 0));
    if (received != transfer.lastReceived) {
        transfer.lastReceived = received;
        transfer.lastActivity = Clock::now();
    }
    if (sent > transfer.lastSent) {
        transfer.lastSent = sent;
        transfer.lastActivity = Clock::now();
        if (transfer.request->onSent) {
            try {
                transfer.request->onSent(sent);
            } catch (...) {
                transfer.failure = std::current_exception();
                return 1;
            }
        }
    }
    return 0;
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

bool isHex(char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; }

// A path that claims to be encoded holds only path characters and complete escapes.
bool isEncodedPath(std::string_view path) {
    static constexpr std::string_view allowed =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-._~!$&'()*+,;=:@/";
    for (std::size_t i = 0; i < path.size(); ++i) {
        if (allowed.find(path[i]) != std::string_view::npos) continue;
        if (path[i] == '%' && i + 2 < path.size() && isHex(path[i + 1]) && isHex(path[i + 2])) {
            i += 2;
            continue;
        }
        return false;
    }
    return true;
}

template <class T>
void setOption(CURL* easy, CURLoption option, T value) {
    if (curl_easy_setopt(easy, option, value) != CURLE_OK)
        throw HttpError(HttpError::Kind::other, "could not set up the request");
}

HttpError errorFor(CURLcode code, const Transfer& transfer, const char* detail) {
    using Kind = HttpError::Kind;
    if (transfer.certificateRejected) return HttpError(Kind::cancelled, "cancelled", true);
    if (transfer.tooLarge)
        return HttpError(Kind::tooLarge,
                         "the reply is larger than " + std::to_string(transfer.request->maxBodyBytes) + " bytes");
    if (!transfer.refusedCoding.empty())
        return HttpError(Kind::other, "the reply is encoded with " + transfer.refusedCoding + ", which was not asked for");
    if (transfer.bodyUnreadable)
        return HttpError(Kind::other, "could not read " + transfer.request->bodyFile.string() + " to the end");
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

std::string escape(std::string_view text) {
    // curl reads a length of 0 as "up to the first NUL".
    if (text.empty()) return {};
    if (text.size() > static_cast<std::size_t>(std::numeric_limits<int>::max()))
        throw HttpError(HttpError::Kind::badUrl, "bad URL");
    std::unique_ptr<char, CurlFree> escaped(curl_easy_escape(nullptr, text.data(), static_cast<int>(text.size())));
    if (!escaped) throw HttpError(HttpError::Kind::badUrl, "bad URL");
    return escaped.get();
}

std::string url(const HttpRequest& request) {
    globalInit();
    if (!request.url.empty()) {
        const std::string_view given = request.url;
        const bool schemeOk = startsWithNoCase(given, "http://") || startsWithNoCase(given, "https://");
        const bool clean = std::none_of(given.begin(), given.end(), [](char c) {
            const auto byte = static_cast<unsigned char>(c);
            return byte <= 0x20 || byte == 0x7F;
        });
        if (!schemeOk || !clean) throw HttpError(HttpError::Kind::badUrl, "bad URL");
        return request.url;
    }
    if (request.pathEncoded && !isEncodedPath(request.path)) throw HttpError(HttpError::Kind::badUrl, "bad URL");
    if (request.host.empty() || request.port < 1 || request.port > 65535 || request.path.empty() ||
        request.path.front() != '/')
        throw HttpError(HttpError::Kind::badUrl, "bad URL");
    const bool ipv6 = request.host.find(':') != std::string::npos;
    std::string out = request.secure ? "https://" : "http://";
    // Appended piece by piece: gcc 12 at -O2 and above mistakes "literal" + string for an overlapping copy.
    if (ipv6) out += '[';
    out += request.host;
    if (ipv6) out += ']';
    out += ':';
    out += std::to_string(request.port);
    out += request.pathEncoded ? request.path : encodePath(request.path);
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

HttpResponse get(const HttpRequest& request, std::stop_token stop) { return perform(request, stop, nullptr); }

HttpResponse perform(const Transport& transport, const HttpRequest& request, std::stop_token stop,
                     const HttpReceiver* receiver) {
    return transport ? transport(request, std::move(stop), receiver) : perform(request, std::move(stop), receiver);
}

HttpResponse perform(const HttpRequest& request, std::stop_token stop, const HttpReceiver* receiver) {
    globalInit();
    const std::string address = url(request);
    if (stop.stop_requested()) throw HttpError(HttpError::Kind::cancelled, "cancelled");
    const bool secure = request.url.empty() ? request.secure : startsWithNoCase(request.url, "https://");
    if (request.body && !request.bodyFile.empty())
        throw HttpError(HttpError::Kind::other, "a request has one body, not two");

    Transfer transfer;
    transfer.request = &request;
    transfer.receiver = receiver;
    transfer.stop = stop;

    // The body file is opened before anything is sent, so a missing file fails without a request.
    FileHandle bodyFile;
    std::optional<std::uint64_t> bodySize;
    if (!request.bodyFile.empty()) {
        // Non-blocking, so a FIFO in the file's place cannot hang the open; only regular files are sent.
        bodyFile.fd = ::open(request.bodyFile.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        struct stat info {};
        if (bodyFile.fd < 0 || ::fstat(bodyFile.fd, &info) != 0 || !S_ISREG(info.st_mode))
            throw HttpError(HttpError::Kind::other, "cannot read " + request.bodyFile.string() + ": " +
                                                        (bodyFile.fd < 0 ? std::strerror(errno) : "not a file"));
        transfer.bodyFd = bodyFile.fd;
        transfer.bodyRemaining = static_cast<std::uint64_t>(info.st_size);
        bodySize = transfer.bodyRemaining;
    } else if (request.body) {
        transfer.memoryBody = &*request.body;
        bodySize = request.body->size();
    }

    std::unique_ptr<CURL, EasyDeleter> easyHolder(curl_easy_init());
    if (!easyHolder) throw HttpError(HttpError::Kind::other, "could not set up the request");
    CURL* easy = easyHolder.get();
    transfer.easy = easy;
    char detail[CURL_ERROR_SIZE] = {};

    setOption(easy, CURLOPT_URL, address.c_str());
    if (request.method == "GET") {
        setOption(easy, CURLOPT_HTTPGET, 1L);
    } else if (request.method == "POST") {
        setOption(easy, CURLOPT_POST, 1L);
        setOption(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(bodySize.value_or(0)));
    } else if (request.method == "PUT") {
        setOption(easy, CURLOPT_UPLOAD, 1L);
        setOption(easy, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(bodySize.value_or(0)));
    } else if (request.method == "DELETE" && !bodySize) {
        setOption(easy, CURLOPT_CUSTOMREQUEST, "DELETE");
    } else {
        throw HttpError(HttpError::Kind::badUrl, "unsupported method " + request.method);
    }
    // A file body goes out in large reads: fewer calls into the read callback and the kernel per byte.
    if (transfer.bodyFd >= 0) setOption(easy, CURLOPT_UPLOAD_BUFFERSIZE, kFileUploadBuffer);
    setOption(easy, CURLOPT_READFUNCTION, onRead);
    setOption(easy, CURLOPT_READDATA, &transfer);
    setOption(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    setOption(easy, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
    // No Accept-Encoding and no TE: replies come as they are stored (codings are refused on arrival).
    setOption(easy, CURLOPT_ACCEPT_ENCODING, static_cast<const char*>(nullptr));
    setOption(easy, CURLOPT_TRANSFER_ENCODING, 0L);
    setOption(easy, CURLOPT_NOSIGNAL, 1L);
    setOption(easy, CURLOPT_ERRORBUFFER, detail);
    if (request.followRedirects) {
        setOption(easy, CURLOPT_FOLLOWLOCATION, 1L);
        setOption(easy, CURLOPT_MAXREDIRS, 10L);
        // Never from https down to http: the answer would no longer be protected.
        const bool startsSecure = address.size() >= 8 && ::strncasecmp(address.c_str(), "https://", 8) == 0;
        setOption(easy, CURLOPT_REDIR_PROTOCOLS_STR, startsSecure ? "https" : "http,https");
    }
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

    // Only the caller's headers: no "Expect: 100-continue" wait before a body, and no made-up content type
    // for a POST (a caller's own "Content-Type" comes later and wins).
    std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)> headers(nullptr, curl_slist_free_all);
    auto addHeader = [&](const std::string& line) {
        curl_slist* grown = curl_slist_append(headers.get(), line.c_str());
        if (!grown) throw HttpError(HttpError::Kind::other, "could not set up the request");
        (void)headers.release();
        headers.reset(grown);
    };
    addHeader("Expect:");
    bool ownContentType = false;
    for (const auto& [name, value] : request.headers) {
        const auto bad = [](const std::string& text) {
            return std::any_of(text.begin(), text.end(), [](char c) { return c == '\r' || c == '\n' || c == '\0'; });
        };
        if (name.empty() || bad(name) || bad(value) || name.find(':') != std::string::npos)
            throw HttpError(HttpError::Kind::badUrl, "bad header " + name);
        if (startsWithNoCase(name, "content-type") && name.size() == 12) ownContentType = true;
        addHeader(name + ": " + value);
    }
    if (!ownContentType && request.method == "POST") addHeader("Content-Type:");
    setOption(easy, CURLOPT_HTTPHEADER, headers.get());

    setOption(easy, CURLOPT_HEADERFUNCTION, onHeader);
    setOption(easy, CURLOPT_HEADERDATA, &transfer);
    setOption(easy, CURLOPT_WRITEFUNCTION, onBody);
    setOption(easy, CURLOPT_WRITEDATA, &transfer);
    setOption(easy, CURLOPT_NOPROGRESS, 0L);
    setOption(easy, CURLOPT_XFERINFOFUNCTION, onProgress);
    setOption(easy, CURLOPT_XFERINFODATA, &transfer);
    if (secure && (request.url.empty() || request.acceptServerCertificate)) {
        // The verify callback set on the context does all the checking: peer verification stays on so that
        // its refusal is fatal, the system's trust store is not consulted and the name is not compared.
        setOption(easy, CURLOPT_SSL_VERIFYPEER, 1L);
        setOption(easy, CURLOPT_SSL_VERIFYHOST, 0L);
        setOption(easy, CURLOPT_CAINFO, static_cast<const char*>(nullptr));
        setOption(easy, CURLOPT_CAPATH, static_cast<const char*>(nullptr));
        setOption(easy, CURLOPT_SSL_CTX_FUNCTION, onSslContext);
        setOption(easy, CURLOPT_SSL_CTX_DATA, &transfer);
    } else if (secure) {
        setOption(easy, CURLOPT_SSL_VERIFYPEER, 1L);
        setOption(easy, CURLOPT_SSL_VERIFYHOST, 2L);
        // libcurl ignores the usual variables that point at another trust store; honour them as curl does.
        if (const char* file = trustStoreFile()) setOption(easy, CURLOPT_CAINFO, file);
    }

    std::unique_ptr<CURLM, MultiDeleter> multiHolder(curl_multi_init());
    if (!multiHolder) throw HttpError(HttpError::Kind::other, "could not set up the request");
    CURLM* multi = multiHolder.get();
    if (curl_multi_add_handle(multi, easy) != CURLM_OK)
        throw HttpError(HttpError::Kind::other, "could not set up the request");

    const bool idleLimited = std::isfinite(request.idleTimeoutSeconds) && request.idleTimeoutSeconds > 0;
    const auto idleLimit = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(idleLimited ? std::min(request.idleTimeoutSeconds, 1e9) : 0.0));
    bool idleTimedOut = false;
    CURLcode result = CURLE_OK;
    transfer.lastActivity = Clock::now();
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
            if (stop.stop_requested() || transfer.failure) break;
            int sliceMs = 1000;
            if (idleLimited) {
                const auto left = transfer.lastActivity + idleLimit - Clock::now();
                if (left <= Clock::duration::zero()) {
                    idleTimedOut = true;
                    break;
                }
                const auto leftMs = std::chrono::duration_cast<std::chrono::milliseconds>(left).count() + 1;
                sliceMs = static_cast<int>(std::clamp<long long>(leftMs, 1, 1000));
            }
            if (curl_multi_poll(multi, nullptr, 0, sliceMs, nullptr) != CURLM_OK) {
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

    if (transfer.failure) std::rethrow_exception(transfer.failure);
    if (idleTimedOut) throw HttpError(HttpError::Kind::timedOut, "the request timed out");
    if (result != CURLE_OK) throw errorFor(result, transfer, detail);
    long status = 0;
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
    transfer.response.status = status;
    deliverHead(transfer);
    return std::move(transfer.response);
}

} // namespace Http
} // namespace corvane::platform
