#pragma once

#include "platform/core/Bytes.hpp"

#include <filesystem>
#include <memory>
#include <stop_token>
#include <string>

struct evp_md_ctx_st;

namespace corvane::platform {

// SHA-256 over data that arrives in pieces, so a large file is hashed without holding it in memory.
class Sha256 final {
public:
    Sha256();
    void update(ByteView piece);
    // The digest; the hasher is spent afterwards.
    Bytes finish();

    // The digest of a whole file read in blocks. Throws std::filesystem::filesystem_error when it cannot be
    // read, corvane::Error("cancelled") when `stop` is requested.
    static Bytes ofFile(const std::filesystem::path& path, std::stop_token stop = {});
    // Two lower-case hexadecimal digits per byte, in order.
    static std::string hex(ByteView digest);

private:
    struct Free {
        void operator()(evp_md_ctx_st* ctx) const;
    };
    std::unique_ptr<evp_md_ctx_st, Free> ctx_;
};

} // namespace corvane::platform
