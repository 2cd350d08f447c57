#include "app/ui/Symbols.hpp"

#include <array>
#include <utility>

namespace corvane::Symbols {
namespace {

constexpr std::array<std::pair<std::string_view, const char*>, 15> kThemeNames{{
    {"cable.connector.horizontal", "network-wired"},
    {"cable.connector", "network-wired-disconnected"},
    {"network", "network-wired"},
    {"hourglass", "appointment-soon"},
    {"xmark.octagon", "dialog-error"},
    {"exclamationmark.triangle", "dialog-warning"},
    {"link", "insert-link"},
    {"checkmark.circle", "emblem-ok"},
    {"checkmark.circle.fill", "emblem-ok"},
    {"circle", "radio"},
    {"play.rectangle", "media-playback-start"},
    {"gearshape", "preferences-system"},
    {"macwindow", "window-new"},
    {"xmark.circle", "window-close"},
    {"arrow.clockwise", "view-refresh"},
}};

} // namespace

QIcon icon(std::string_view symbol) {
    for (const auto& [name, theme] : kThemeNames)
        if (name == symbol) return QIcon::fromTheme(theme);
    return {};
}

} // namespace corvane::Symbols
