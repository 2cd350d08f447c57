#pragma once

#include <array>
#include <optional>
#include <string_view>
#include <utility>

namespace corvane {

// Enumerations stored or shown by a fixed text each ("raw value"). An enumeration takes part by
// specialising RawValueTable with `entries`, an array of (case, text) pairs listing every case in order.
template <class E>
struct RawValueTable;

template <class E>
constexpr std::string_view rawValue(E value) {
    for (const auto& [entry, text] : RawValueTable<E>::entries)
        if (entry == value) return text;
    return {};
}

template <class E>
constexpr std::optional<E> fromRawValue(std::string_view text) {
    for (const auto& [entry, name] : RawValueTable<E>::entries)
        if (name == text) return entry;
    return std::nullopt;
}

// Every case, in declaration order (what the settings window lists).
template <class E>
constexpr auto allCases() {
    std::array<E, RawValueTable<E>::entries.size()> cases{};
    for (std::size_t i = 0; i < cases.size(); ++i) cases[i] = RawValueTable<E>::entries[i].first;
    return cases;
}

} // namespace corvane
