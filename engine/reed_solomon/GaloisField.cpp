#include "engine/reed_solomon/GaloisField.hpp"

#include <mutex>

namespace corvane::stream {

alignas(64) std::uint8_t GF2_8_MUL[256][256];
std::atomic<bool> gf2_8_mul_initialized{false};

namespace {
std::once_flag mulOnce;
}

void gf2_8_mul_init()
{
    // A first use from two threads at once must not race on the table, so the fill is guarded here
    // rather than left to every caller.
    std::call_once(mulOnce, [] {
        for (unsigned u = 0; u < 256; ++u) {
            GF2_8_MUL[u][0] = 0;
            for (unsigned v = 1; v < 256; ++v)
                GF2_8_MUL[u][v] = u == 0 ? 0 : GF2_8_EXP[GF2_8_LOG[u] + GF2_8_LOG[v]];
        }
        gf2_8_mul_initialized.store(true, std::memory_order_release);
    });
}

} // namespace corvane::stream
