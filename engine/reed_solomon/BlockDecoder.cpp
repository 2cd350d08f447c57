#include "engine/reed_solomon/BlockDecoder.hpp"

#include <mutex>

#include "engine/reed_solomon/ReedSolomon.hpp"

namespace corvane::stream {

void BlockDecoder::Release::operator()(reed_solomon* context) const
{
    reed_solomon_release(context);
}

BlockDecoder::BlockDecoder()
{
    static std::once_flag once;
    std::call_once(once, [] { reed_solomon_init(); });
}

BlockDecoder::~BlockDecoder() = default;

bool BlockDecoder::decode(std::span<std::uint8_t* const> buffers, std::span<const std::uint8_t> lost, int data,
    int parity, int length)
{
    if (data < 1 || parity < 1 || length < 1) return false;
    const std::size_t total = static_cast<std::size_t>(data) + static_cast<std::size_t>(parity);
    if (buffers.size() != total || lost.size() != total) return false;
    if (!context_ || context_->ds != data || context_->ps != parity) {
        context_.reset(reed_solomon_new(data, parity));
        if (!context_) return false;
    }
    return reed_solomon_decode(context_.get(), buffers.data(), lost.data(), static_cast<int>(total), length) == 0;
}

}  // namespace corvane::stream
