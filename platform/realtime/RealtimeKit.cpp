#include "platform/realtime/RealtimeKit.hpp"

#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>

#include <systemd/sd-bus.h>

namespace corvane::platform {
namespace {

constexpr const char* service = "org.freedesktop.RealtimeKit1";
constexpr const char* path = "/org/freedesktop/RealtimeKit1";

struct ErrorHolder {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    ~ErrorHolder() { sd_bus_error_free(&error); }
};

using Message = std::unique_ptr<sd_bus_message, decltype(&sd_bus_message_unref)>;

std::string errnoText(int code) { return std::strerror(code < 0 ? -code : code); }

// The service's or the bus's own words where there are some, else the system's.
RealtimeKit::Error failure(const ErrorHolder& held, int code) {
    if (sd_bus_error_is_set(&held.error)) {
        const std::string message = held.error.message ? held.error.message : "";
        return RealtimeKit::Error(message.empty() ? std::string(held.error.name) : message + " (" + held.error.name + ")");
    }
    return RealtimeKit::Error(errnoText(code));
}

} // namespace

RealtimeKit::RealtimeKit(Clock::time_point deadline) : deadline_(deadline) {
    const int opened = sd_bus_open_system(&bus_);
    if (opened < 0) {
        bus_ = nullptr;
        throw Error("no system bus: " + errnoText(opened));
    }
    // The socket is connected; being let in (authentication, then the bus's reply to our greeting) is
    // waited for here, in slices that end by the deadline. The library's own wait has no such limit.
    for (;;) {
        if (sd_bus_is_ready(bus_) > 0) return;
        const int r = sd_bus_process(bus_, nullptr);
        if (r < 0) {
            close();
            throw Error("no system bus: " + errnoText(r));
        }
        if (r > 0) continue;  // more to process at once
        const auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline_ - Clock::now()).count();
        if (left < 1) {
            close();
            throw Error("the system bus did not answer in time");
        }
        sd_bus_wait(bus_, static_cast<std::uint64_t>(left));
    }
}

RealtimeKit::~RealtimeKit() { close(); }

// Without flushing: a flush waits for the peer without a limit.
void RealtimeKit::close() {
    if (bus_) sd_bus_close_unref(bus_);
    bus_ = nullptr;
}

std::uint64_t RealtimeKit::remaining() const {
    const auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline_ - Clock::now()).count();
    // Zero would mean the library's own default time-out (25 s).
    if (left < 1) throw Error("the system bus did not answer in time");
    return static_cast<std::uint64_t>(left);
}

std::int64_t RealtimeKit::property(const char* name) {
    sd_bus_set_method_call_timeout(bus_, remaining());
    ErrorHolder held;
    sd_bus_message* raw = nullptr;
    const int r = sd_bus_call_method(bus_, service, path, "org.freedesktop.DBus.Properties", "Get", &held.error, &raw,
                                     "ss", service, name);
    if (r < 0) throw failure(held, r);
    Message reply(raw, &sd_bus_message_unref);

    char type = 0;
    const char* contents = nullptr;
    if (sd_bus_message_peek_type(reply.get(), &type, &contents) <= 0 || type != SD_BUS_TYPE_VARIANT || !contents ||
        std::strlen(contents) != 1 || sd_bus_message_enter_container(reply.get(), SD_BUS_TYPE_VARIANT, contents) <= 0)
        throw Error(std::string("its ") + name + " is not a number");
    // The service gives these as 32- or 64-bit integers.
    const auto read = [&reply](auto value, char type) -> std::optional<std::int64_t> {
        if (sd_bus_message_read_basic(reply.get(), type, &value) <= 0) return std::nullopt;
        if constexpr (std::is_same_v<decltype(value), std::uint64_t>)
            if (value > static_cast<std::uint64_t>(INT64_MAX)) return std::nullopt;
        return static_cast<std::int64_t>(value);
    };
    std::optional<std::int64_t> value;
    switch (contents[0]) {
    case SD_BUS_TYPE_INT32: value = read(std::int32_t{}, SD_BUS_TYPE_INT32); break;
    case SD_BUS_TYPE_UINT32: value = read(std::uint32_t{}, SD_BUS_TYPE_UINT32); break;
    case SD_BUS_TYPE_INT64: value = read(std::int64_t{}, SD_BUS_TYPE_INT64); break;
    case SD_BUS_TYPE_UINT64: value = read(std::uint64_t{}, SD_BUS_TYPE_UINT64); break;
    default: break;
    }
    if (value) return *value;
    throw Error(std::string("its ") + name + " is not a number");
}

RealtimeKit::Limits RealtimeKit::limits() {
    Limits limits;
    limits.maxRealtimePriority = property("MaxRealtimePriority");
    limits.rtTimeUSecMax = property("RTTimeUSecMax");
    limits.minNiceLevel = property("MinNiceLevel");
    return limits;
}

void RealtimeKit::makeThreadRealtime(std::uint64_t thread, std::uint32_t priority) {
    sd_bus_set_method_call_timeout(bus_, remaining());
    ErrorHolder held;
    const int r = sd_bus_call_method(bus_, service, path, service, "MakeThreadRealtime", &held.error, nullptr, "tu",
                                     thread, priority);
    if (r < 0) throw failure(held, r);
}

void RealtimeKit::makeThreadHighPriority(std::uint64_t thread, std::int32_t niceLevel) {
    sd_bus_set_method_call_timeout(bus_, remaining());
    ErrorHolder held;
    const int r = sd_bus_call_method(bus_, service, path, service, "MakeThreadHighPriority", &held.error, nullptr,
                                     "ti", thread, niceLevel);
    if (r < 0) throw failure(held, r);
}

} // namespace corvane::platform
