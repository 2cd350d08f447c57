// Any bytes as a box agent's reply: every record's decoder, the refusal message and the loose readers must
// either succeed or throw AgentClient::DecodeError, never crash, recurse without bound or run away.

#include "app/services/agent/AgentClient.hpp"

#include <cstddef>
#include <cstdint>

using corvane::AgentClient;

namespace {

template <class Decode>
void attempt(Decode decode) {
    try {
        decode();
    } catch (const AgentClient::DecodeError&) {
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const corvane::ByteView body(data, size);
    attempt([&] {
        const auto info = AgentClient::Info::decode(body);
        if (!(info == info)) __builtin_trap();
    });
    attempt([&] { (void)AgentClient::BoxStatus::decode(body); });
    attempt([&] { (void)AgentClient::BoxUpdates::decode(body); });
    attempt([&] { (void)AgentClient::UpdateStatus::decode(body); });
    attempt([&] { (void)AgentClient::Clip::decode(body); });
    attempt([&] { (void)AgentClient::DropStart::decode(body); });
    attempt([&] { (void)AgentClient::OutboxItem::decodeList(body); });
    attempt([&] { (void)AgentClient::pairedOf(body); });
    attempt([&] { (void)AgentClient::seqOf(body); });
    (void)AgentClient::messageOf(body);
    return 0;
}
