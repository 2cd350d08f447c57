#include "platform/http/Url.hpp"

#include <curl/curl.h>

#include <cstdlib>
#include <memory>
#include <string>

namespace corvane::platform::Url {

std::optional<int> port(std::string_view url) {
    std::unique_ptr<CURLU, decltype(&curl_url_cleanup)> handle(curl_url(), curl_url_cleanup);
    if (!handle) return std::nullopt;
    const std::string text(url);
    if (curl_url_set(handle.get(), CURLUPART_URL, text.c_str(), CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK)
        return std::nullopt;
    char* portText = nullptr;
    if (curl_url_get(handle.get(), CURLUPART_PORT, &portText, 0) != CURLUE_OK || !portText) return std::nullopt;
    const long value = std::strtol(portText, nullptr, 10);
    curl_free(portText);
    if (value < 1 || value > 65535) return std::nullopt;
    return static_cast<int>(value);
}

} // namespace corvane::platform::Url
