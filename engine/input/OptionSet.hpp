#pragma once

#include <concepts>

namespace corvane::stream {

// A set of flags over an unsigned raw value, as the wire formats define them. `Derived` names the set so
// that flags of different sets cannot be mixed: struct Modifiers : OptionSet<Modifiers, std::uint8_t> {}.
template <class Derived, std::unsigned_integral Raw>
struct OptionSet {
    using RawValue = Raw;
    Raw rawValue{};

    static constexpr Derived of(Raw raw) {
        Derived set;
        set.rawValue = raw;
        return set;
    }
    constexpr bool contains(Derived other) const { return (rawValue & other.rawValue) == other.rawValue; }
    constexpr bool isEmpty() const { return rawValue == 0; }
    constexpr void insert(Derived other) { rawValue = static_cast<Raw>(rawValue | other.rawValue); }
    constexpr void remove(Derived other) { rawValue = static_cast<Raw>(rawValue & ~other.rawValue); }

    friend constexpr Derived operator|(Derived a, Derived b) { return of(static_cast<Raw>(a.rawValue | b.rawValue)); }
    friend constexpr Derived operator&(Derived a, Derived b) { return of(static_cast<Raw>(a.rawValue & b.rawValue)); }
    friend constexpr bool operator==(const Derived& a, const Derived& b) { return a.rawValue == b.rawValue; }
};

} // namespace corvane::stream
