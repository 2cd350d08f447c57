#include "platform/pasteboard/SelectionReader.hpp"

#include <QBuffer>
#include <QImage>
#include <QImageReader>
#include <QString>
#include <QUrl>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <utility>

#include <poll.h>
#include <xcb/xcb.h>

namespace corvane::platform {

namespace {

using Clock = std::chrono::steady_clock;

struct Free {
    void operator()(void* p) const { std::free(p); }
};
using Event = std::unique_ptr<xcb_generic_event_t, Free>;
template <class T>
using Reply = std::unique_ptr<T, Free>;

// What an image decoder may allocate for one clipboard picture.
constexpr int kImageAllocationMiB = 512;
// Property pieces read per request (in 32-bit units).
constexpr std::uint32_t kPieceUnits = 1u << 18;

// The next event `wanted` accepts, others dropped; nothing when the owner stays silent past the time-out,
// the connection breaks or a stop is asked for.
template <class Wanted>
Event waitFor(xcb_connection_t* connection, const std::stop_token& stop, Wanted wanted) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(SelectionReader::kTimeoutMs);
    for (;;) {
        while (Event event{xcb_poll_for_event(connection)}) {
            if (wanted(event.get())) return event;
        }
        if (xcb_connection_has_error(connection) || stop.stop_requested()) return nullptr;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return nullptr;
        pollfd fd{xcb_get_file_descriptor(connection), POLLIN, 0};
        ::poll(&fd, 1, static_cast<int>(std::min<long long>(left, 100)));
    }
}

bool validUtf8(const SelectionReader::Bytes& bytes) {
    return QByteArrayView(bytes.data(), static_cast<qsizetype>(bytes.size())).isValidUtf8();
}

} // namespace

SelectionReader::SelectionReader(std::string display, std::stop_token stop)
    : display_(std::move(display)), stop_(std::move(stop)) {}

SelectionReader::~SelectionReader() {
    if (connection_) xcb_disconnect(connection_);
}

bool SelectionReader::connect() {
    if (tried_) return connection_ && !silent_;
    tried_ = true;
    int screenNumber = 0;
    connection_ = xcb_connect(display_.empty() ? nullptr : display_.c_str(), &screenNumber);
    if (xcb_connection_has_error(connection_)) {
        xcb_disconnect(connection_);
        connection_ = nullptr;
        return false;
    }
    auto screens = xcb_setup_roots_iterator(xcb_get_setup(connection_));
    for (int i = 0; i < screenNumber && screens.rem > 1; ++i) xcb_screen_next(&screens);
    window_ = xcb_generate_id(connection_);
    const std::uint32_t events = XCB_EVENT_MASK_PROPERTY_CHANGE;
    xcb_create_window(connection_, XCB_COPY_FROM_PARENT, window_, screens.data->root, 0, 0, 1, 1, 0,
                      XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT, XCB_CW_EVENT_MASK, &events);
    clipboard_ = atom("CLIPBOARD");
    property_ = atom("CORVANE_SELECTION");
    incr_ = atom("INCR");
    return true;
}

std::uint32_t SelectionReader::atom(const std::string& name) {
    const auto cookie = xcb_intern_atom(connection_, 0, static_cast<std::uint16_t>(name.size()), name.data());
    Reply<xcb_intern_atom_reply_t> reply(xcb_intern_atom_reply(connection_, cookie, nullptr));
    return reply ? reply->atom : std::uint32_t(XCB_ATOM_NONE);
}

std::optional<SelectionReader::Bytes> SelectionReader::fetch(std::uint32_t target, std::size_t limit) {
    if (!connect() || target == XCB_ATOM_NONE) return std::nullopt;
    xcb_delete_property(connection_, window_, property_);
    xcb_convert_selection(connection_, window_, clipboard_, target, property_, XCB_CURRENT_TIME);
    xcb_flush(connection_);
    const auto notified = waitFor(connection_, stop_, [&](xcb_generic_event_t* event) {
        return (event->response_type & 0x7F) == XCB_SELECTION_NOTIFY &&
               reinterpret_cast<xcb_selection_notify_event_t*>(event)->requestor == window_;
    });
    if (!notified) {
        silent_ = true;
        return std::nullopt;
    }
    if (reinterpret_cast<xcb_selection_notify_event_t*>(notified.get())->property == XCB_ATOM_NONE) return std::nullopt;

    // Reads the property whole, piece by piece; false when it would grow past the limit.
    Bytes out;
    std::uint32_t type = XCB_ATOM_NONE;
    const auto readProperty = [&]() -> bool {
        std::uint32_t offset = 0;
        for (;;) {
            const auto cookie =
                xcb_get_property(connection_, 0, window_, property_, XCB_GET_PROPERTY_TYPE_ANY, offset, kPieceUnits);
            Reply<xcb_get_property_reply_t> reply(xcb_get_property_reply(connection_, cookie, nullptr));
            if (!reply) return false;
            type = reply->type;
            const auto length = static_cast<std::size_t>(xcb_get_property_value_length(reply.get()));
            if (type != incr_) {
                if (length > limit - out.size()) return false;
                const auto* value = static_cast<const std::uint8_t*>(xcb_get_property_value(reply.get()));
                out.insert(out.end(), value, value + length);
            }
            offset += static_cast<std::uint32_t>((length + 3) / 4);
            if (reply->bytes_after == 0 || length == 0) return true;
        }
    };
    const auto deleteProperty = [&] {
        xcb_delete_property(connection_, window_, property_);
        xcb_flush(connection_);
    };
    const bool whole = readProperty();
    deleteProperty();  // for pieces: asks for the first one
    if (!whole) return std::nullopt;
    if (type != incr_) return out;

    // Sent in pieces: each deletion of the property asks for the next; an empty piece ends it.
    for (;;) {
        const auto piece = waitFor(connection_, stop_, [&](xcb_generic_event_t* event) {
            if ((event->response_type & 0x7F) != XCB_PROPERTY_NOTIFY) return false;
            const auto* change = reinterpret_cast<xcb_property_notify_event_t*>(event);
            return change->window == window_ && change->atom == property_ && change->state == XCB_PROPERTY_NEW_VALUE;
        });
        if (!piece) {
            silent_ = true;
            return std::nullopt;
        }
        const auto before = out.size();
        if (!readProperty()) {
            // The owner may go on with the pieces of this one: later questions are answered in a fresh property.
            property_ = atom("CORVANE_SELECTION_" + std::to_string(++abandoned_));
            return std::nullopt;
        }
        deleteProperty();
        if (out.size() == before) return out;
    }
}

const std::vector<std::string>& SelectionReader::types() {
    if (types_) return *types_;
    types_.emplace();
    const auto targets = fetch("TARGETS", 1 << 20);
    if (!targets) return *types_;
    std::vector<xcb_get_atom_name_cookie_t> cookies;
    for (std::size_t i = 0; i + 4 <= targets->size(); i += 4) {
        std::uint32_t atom = 0;
        std::copy_n(targets->data() + i, 4, reinterpret_cast<std::uint8_t*>(&atom));
        if (atom != XCB_ATOM_NONE) cookies.push_back(xcb_get_atom_name(connection_, atom));
    }
    for (const auto& cookie : cookies) {
        Reply<xcb_get_atom_name_reply_t> reply(xcb_get_atom_name_reply(connection_, cookie, nullptr));
        if (reply) types_->emplace_back(xcb_get_atom_name_name(reply.get()), xcb_get_atom_name_name_length(reply.get()));
    }
    return *types_;
}

bool SelectionReader::offers(const std::string& type) {
    const auto& offered = types();
    return std::find(offered.begin(), offered.end(), type) != offered.end();
}

bool SelectionReader::concealed() {
    return offers("org.nspasteboard.ConcealedType") || offers("org.nspasteboard.TransientType") ||
           offers("x-kde-passwordManagerHint");
}

bool SelectionReader::hasFiles() {
    if (offers("x-special/gnome-copied-files")) return true;
    if (!offers("text/uri-list")) return false;
    // A list that cannot be read is taken for files: they are never to be shared.
    const auto list = fetch("text/uri-list", 1 << 20);
    if (!list) return true;
    const auto lines =
        QByteArray(reinterpret_cast<const char*>(list->data()), static_cast<qsizetype>(list->size())).split('\n');
    return std::any_of(lines.begin(), lines.end(), [](const QByteArray& line) {
        const auto url = line.trimmed();
        return !url.isEmpty() && !url.startsWith('#') && QUrl::fromEncoded(url).isLocalFile();
    });
}

std::optional<SelectionReader::Bytes> SelectionReader::png(std::size_t limit) {
    if (!offers("image/png")) return std::nullopt;
    auto bytes = fetch("image/png", limit);
    if (!bytes || bytes->empty()) return std::nullopt;
    return bytes;
}

std::optional<SelectionReader::Bytes> SelectionReader::otherImageAsPNG(std::size_t limit) {
    for (const auto& type : types()) {
        if (type.rfind("image/", 0) != 0 || type == "image/png") continue;
        const auto raw = fetch(type, kMaxImageBytes);
        if (!raw) continue;
        const QByteArray bytes(reinterpret_cast<const char*>(raw->data()), static_cast<qsizetype>(raw->size()));
        if (auto png = asPNG(bytes, limit)) return png;
        if (silent_) break;
    }
    return std::nullopt;
}

std::optional<std::string> SelectionReader::string(std::size_t limit) {
    // The first text type offered, in the order of preference Qt reads them.
    static constexpr const char* kTextTypes[] = {"UTF8_STRING", "text/plain;charset=utf-8", "text/plain", "STRING", "TEXT"};
    for (const char* type : kTextTypes) {
        if (!offers(type)) continue;
        const bool latin1 = std::string_view(type) == "STRING";
        const auto bytes = fetch(type, limit);
        if (!bytes) return std::nullopt;
        const char* data = reinterpret_cast<const char*>(bytes->data());
        const auto size = static_cast<qsizetype>(bytes->size());
        // STRING is Latin-1: each byte above 127 becomes two.
        std::string text = latin1 ? QString::fromLatin1(data, size).toStdString()
                           : validUtf8(*bytes) ? std::string(data, bytes->size())
                                               : QString::fromUtf8(data, size).toStdString();
        if (text.size() > limit) return std::nullopt;
        return text;
    }
    return std::nullopt;
}

std::optional<SelectionReader::Bytes> SelectionReader::asPNG(const QByteArray& raw, std::size_t limit) {
    QByteArray copy = raw;
    QBuffer buffer(&copy);
    QImageReader reader(&buffer);
    reader.setAllocationLimit(kImageAllocationMiB);
    const QImage image = reader.read();
    if (image.isNull()) return std::nullopt;
    QByteArray out;
    QBuffer sink(&out);
    sink.open(QIODevice::WriteOnly);
    if (!image.save(&sink, "PNG") || static_cast<std::size_t>(out.size()) > limit) return std::nullopt;
    return Bytes(out.begin(), out.end());
}

} // namespace corvane::platform
