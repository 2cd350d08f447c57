#include "platform/crypto/Sha256.hpp"

#include "platform/core/Error.hpp"

#include <cerrno>
#include <new>
#include <system_error>
#include <vector>

#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

namespace corvane::platform {

void Sha256::Free::operator()(evp_md_ctx_st* ctx) const { EVP_MD_CTX_free(ctx); }

Sha256::Sha256() : ctx_(EVP_MD_CTX_new()) {
    if (!ctx_ || EVP_DigestInit_ex(ctx_.get(), EVP_sha256(), nullptr) != 1) throw std::bad_alloc();
}

void Sha256::update(ByteView piece) {
    if (!piece.empty() && EVP_DigestUpdate(ctx_.get(), piece.data(), piece.size()) != 1) throw std::bad_alloc();
}

Bytes Sha256::finish() {
    Bytes digest(EVP_MAX_MD_SIZE);
    unsigned int size = 0;
    if (EVP_DigestFinal_ex(ctx_.get(), digest.data(), &size) != 1) throw std::bad_alloc();
    digest.resize(size);
    return digest;
}

Bytes Sha256::ofFile(const std::filesystem::path& path, std::stop_token stop) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        throw std::filesystem::filesystem_error("cannot open", path, std::error_code(errno, std::generic_category()));
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    Sha256 hasher;
    std::vector<std::uint8_t> block(1 << 20);
    for (;;) {
        if (stop.stop_requested()) throw Error("cancelled");
        const ssize_t got = ::read(fd, block.data(), block.size());
        if (got < 0) {
            if (errno == EINTR) continue;
            throw std::filesystem::filesystem_error("cannot read", path,
                                                    std::error_code(errno, std::generic_category()));
        }
        if (got == 0) break;
        hasher.update(ByteView(block.data(), static_cast<std::size_t>(got)));
    }
    return hasher.finish();
}

std::string Sha256::hex(ByteView digest) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(digest.size() * 2);
    for (const std::uint8_t byte : digest) {
        out.push_back(kDigits[byte >> 4]);
        out.push_back(kDigits[byte & 15]);
    }
    return out;
}

} // namespace corvane::platform
