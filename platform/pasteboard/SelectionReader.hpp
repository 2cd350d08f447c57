#pragma once

#include <QByteArray>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

struct xcb_connection_t;

namespace corvane::platform {

// The CLIPBOARD selection as its owner offers it, read through an X connection of the reader's own, so a
// large or slow owner never holds up the main thread (whose event loop keeps answering for us when we are
// the owner). Made on any thread and then used by one thread at a time. It asks the same questions as
// Pasteboard: the offered types once, data only for a type that is offered. An owner that does not answer
// within kTimeoutMs makes every later question answer nothing, so a stuck owner costs one time-out.
class SelectionReader final {
public:
    using Bytes = std::vector<std::uint8_t>;

    static constexpr int kTimeoutMs = 5000;  // between two answers of the owner, as Qt waits
    static constexpr std::size_t kMaxImageBytes = std::size_t(512) << 20;  // a picture's raw bytes

    // `display` as in $DISPLAY; empty: the default display. Nothing is asked before the first question; a stop
    // ends the waiting at once, and with it every later question.
    explicit SelectionReader(std::string display, std::stop_token stop = {});
    ~SelectionReader();
    SelectionReader(const SelectionReader&) = delete;
    SelectionReader& operator=(const SelectionReader&) = delete;

    // The offered types, by their X names (UTF8_STRING, image/png, ...).
    const std::vector<std::string>& types();
    bool concealed();
    bool hasFiles();
    std::optional<Bytes> png(std::size_t limit);
    std::optional<Bytes> otherImageAsPNG(std::size_t limit);
    // The text as UTF-8 (broken sequences replaced), when there is text of at most `limit` bytes.
    std::optional<std::string> string(std::size_t limit);

    // A picture in any format Qt reads, decoded under an allocation limit and made PNG; at most `limit`.
    static std::optional<Bytes> asPNG(const QByteArray& raw, std::size_t limit);

private:
    bool connect();
    bool offers(const std::string& type);
    std::uint32_t atom(const std::string& name);
    // The owner's data in `target`, whole (also when sent in pieces); nothing when refused, over `limit`
    // or not answered in time.
    std::optional<Bytes> fetch(std::uint32_t target, std::size_t limit);
    std::optional<Bytes> fetch(const std::string& target, std::size_t limit) {
        return connect() ? fetch(atom(target), limit) : std::nullopt;
    }

    std::string display_;
    std::stop_token stop_;
    xcb_connection_t* connection_ = nullptr;
    bool tried_ = false;
    bool silent_ = false;  // the owner let a question time out
    std::uint32_t window_ = 0;
    std::uint32_t clipboard_ = 0, property_ = 0, incr_ = 0;
    int abandoned_ = 0;  // transfers given up half way
    std::optional<std::vector<std::string>> types_;
};

} // namespace corvane::platform
