#include "engine/pairing/identity/DER.hpp"
#include <gtest/gtest.h>
#include "engine/pairing/identity/Hex.hpp"
#include "tests/support/TestSupport.hpp"

namespace corvane::stream {
namespace {

TEST(DERWriter, LengthsAndIntegersUseTheShortestForm) {
    const std::pair<std::size_t, const char*> rows[] = {
        {0, "00"},       {127, "7F"},       {128, "8180"},         {255, "81FF"},
        {256, "820100"}, {65535, "82FFFF"}, {65536, "83010000"}, {0x100000000ull, "850100000000"}};
    for (const auto& [n, expected] : rows) EXPECT_EQ(hex(DER::length(n)), expected) << n;
    EXPECT_EQ(hex(DER::tlv(0x04, Bytes(200, 0xAA))).substr(0, 6), "0481C8");
    const std::pair<Bytes, const char*> fromBytes[] = {
        {{}, "020100"},         {{0x00, 0x00}, "020100"},   {{0x00, 0x7F}, "02017F"},
        {{0x80}, "02020080"},   {{0x00, 0x80}, "02020080"}, {{0x01, 0x00}, "02020100"}};
    for (const auto& [magnitude, expected] : fromBytes)
        EXPECT_EQ(hex(DER::integer(ByteView(magnitude))), expected) << hex(magnitude);
    const std::pair<std::int64_t, const char*> fromNumbers[] = {
        {2, "020102"}, {0, "020100"}, {255, "020200FF"}, {256, "02020100"}, {INT64_MAX, "02087FFFFFFFFFFFFFFF"}};
    for (const auto& [value, expected] : fromNumbers) EXPECT_EQ(hex(DER::integer(value)), expected) << value;
    for (const std::int64_t value : {std::int64_t{-1}, INT64_MIN}) EXPECT_THROW(DER::integer(value), DER::EncodingError);
}

TEST(DERReader, MalformedInputFailsWithTheRightErrorAndManyChildrenTakeLinearTime) {
    const std::pair<Bytes, const char*> rows[] = {
        {{}, "truncated"},
        {{0x30}, "truncated"},
        {{0x30, 0x80, 0x00, 0x00}, "badLength"},  // indefinite form
        {{0x30, 0x85, 0, 0, 0, 0, 1, 0}, "badLength"},
        {{0x04, 0x82, 0x01}, "badLength"},  // length bytes past the end
        {{0x04, 0x03, 0x01, 0x02}, "truncated"},
        {{0x04, 0x84, 0xFF, 0xFF, 0xFF, 0xFF, 0x00}, "truncated"},  // a lying length near 4 GiB
    };
    for (const auto& row : rows)
        EXPECT_EQ(test::failureOf<DER::ParseError>([&] { DER::read(row.first); }), row.second) << hex(row.first);
    // Copying the rest after every element would move ~100 GB here and never finish.
    const Bytes flat(800'000, 0x00);
    EXPECT_EQ(DER::children(flat).size(), 400'000u);
}

} // namespace
} // namespace corvane::stream
