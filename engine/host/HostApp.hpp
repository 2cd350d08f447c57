#pragma once

#include "engine/host/HostXML.hpp"

#include <cstdint>
#include <string>
#include <vector>

namespace corvane::stream {

// One application the streaming host offers. Plain value.
struct HostApp {
    std::int64_t id = 0;
    std::string title;
    bool hdrSupported = false;

    // The "App" children of an /applist reply in document order, after the reply's status check (whose
    // HostError it throws). Entries without a numeric "ID" are dropped.
    static std::vector<HostApp> list(const HostXML& xml);

    bool operator==(const HostApp&) const = default;
};

} // namespace corvane::stream
