#include "app/services/agent/AgentReplies.hpp"
#include <gtest/gtest.h>
#include <atomic>
#include <cstdlib>
#include <malloc.h>
#include <new>
#include <string>

// Every allocation of this test program is counted, so a test can see the peak memory one call needs.
namespace {
std::atomic<long long> liveBytes{0};
std::atomic<long long> peakBytes{0};

void* counted(std::size_t size) {
    void* block = std::malloc(size ? size : 1);
    if (!block) throw std::bad_alloc();
    const long long now = liveBytes += static_cast<long long>(::malloc_usable_size(block));
    for (long long peak = peakBytes; now > peak && !peakBytes.compare_exchange_weak(peak, now);) {}
    return block;
}
void release(void* block) noexcept {
    liveBytes -= static_cast<long long>(::malloc_usable_size(block));
    std::free(block);
}
} // namespace

void* operator new(std::size_t size) { return counted(size); }
void* operator new[](std::size_t size) { return counted(size); }
void operator delete(void* pointer) noexcept { release(pointer); }
void operator delete[](void* pointer) noexcept { release(pointer); }
void operator delete(void* pointer, std::size_t) noexcept { release(pointer); }
void operator delete[](void* pointer, std::size_t) noexcept { release(pointer); }

namespace corvane {
namespace {

ByteView view(const std::string& text) { return ByteView(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()); }

using Kind = AgentClient::DecodeError::Kind;

// Bytes allocated at the peak of `decode`, beyond what was live before it; whether it decoded. A refusal
// must be of the kind `refused`.
template <class Decode>
std::pair<long long, bool> peakOf(Decode decode, Kind refused = Kind::dataCorrupted) {
    const long long before = liveBytes;
    peakBytes = before;
    bool decoded = true;
    try {
        decode();
    } catch (const AgentClient::DecodeError& error) {
        decoded = false;
        EXPECT_EQ(error.kind, refused);
    }
    return {peakBytes - before, decoded};
}

std::string repeated(const std::string& head, const std::string& item, std::size_t bytes, const std::string& tail) {
    std::string body = head;
    body.reserve(bytes + tail.size() + item.size());
    while (body.size() < bytes) body += item + ",";
    body += item + tail;
    return body;
}

TEST(AgentReplyMemoryTest, NoReplyCostsMoreThanASmallMultipleOfItsSize) {
    constexpr std::size_t kSize = 4u << 20;
    const std::string outboxFile = R"({"path":"Fotos/IMG_1234.jpg","size":1234567})";
    const std::string smallItem = R"({"id":"4711","files":[{"path":"a.txt","size":1}],"total_bytes":1})";
    const struct { const char* what; std::string body; bool list, decodes; Kind refused = Kind::dataCorrupted; } rows[] = {
        {"empty arrays in a clipboard reply", repeated(R"({"seq":1,"junk":[)", "[]", kSize, "]}"), false, false},
        {"zeros in a clipboard reply", repeated(R"({"seq":1,"x":[)", "0", kSize, "]}"), false, false},
        // The items of a list are read one by one: one that is no item ends the reading there.
        {"empty arrays in an outbox list", repeated(R"({"items":[)", "[]", kSize, "]}"), true, false, Kind::typeMismatch},
        {"empty objects in an outbox list", repeated(R"({"items":[)", "{}", kSize, "]}"), true, false, Kind::keyNotFound},
        {"empty arrays beside an outbox list", repeated(R"({"items":[],"x":[)", "[]", kSize, "]}"), true, false},
        {"empty strings as drop names", repeated(R"({"id":"1","dest":"C:\\","names":[)", R"("")", kSize, "]}"), true,
         false},
        {"zeros under an unknown key", repeated(R"({"id":"1","dest":"d","names":[],"x":[)", "0", kSize, "]}"), true, false},
        {"a long outbox", repeated(R"({"items":[{"id":"1","total_bytes":1,"files":[)", outboxFile, kSize, "]}]}"), true,
         true},
        {"an outbox of many small items", repeated(R"({"items":[)", smallItem, kSize, "]}"), true, true},
    };
    for (const auto& row : rows) {
        const auto [peak, decoded] = peakOf([&] {
            if (row.body.starts_with(R"({"items")")) {
                const auto items = AgentClient::OutboxItem::decodeList(view(row.body));
                if (row.decodes) {
                    EXPECT_TRUE(!items.empty() && items.back().files.back().size > 0) << row.what;
                }
            } else if (row.list) {
                (void)AgentClient::DropStart::decode(view(row.body));
            } else {
                (void)AgentClient::Clip::decode(view(row.body));
            }
        }, row.refused);
        EXPECT_EQ(decoded, row.decodes) << row.what;
        // Lists within twelve times their size; replies of fixed shape within a fixed amount, however long.
        const long long bound = row.list ? 12 * static_cast<long long>(row.body.size()) + (2 << 20) : 1 << 20;
        EXPECT_LE(peak, bound) << row.what;
    }
}

} // namespace
} // namespace corvane
