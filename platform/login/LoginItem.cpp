#include "platform/login/LoginItem.hpp"

#include "platform/core/Error.hpp"

#include <QSaveFile>
#include <QString>

#include <cstdlib>
#include <fstream>
#include <system_error>

namespace corvane::platform::LoginItem {
namespace {

std::filesystem::path configFolder(const std::filesystem::path& configHome) {
    if (!configHome.empty()) return configHome;
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg == '/') return xdg;
    const char* home = std::getenv("HOME");
    return std::filesystem::path(home ? home : "/") / ".config";
}

std::string trim(const std::string& text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

} // namespace

std::filesystem::path file(const std::filesystem::path& configHome) {
    return configFolder(configHome) / "autostart" / "corvane.desktop";
}

Status status(const std::filesystem::path& configHome) {
    std::ifstream in(file(configHome));
    if (!in) return Status::notRegistered;
    bool inMain = false;
    bool hasExec = false;
    std::string line;
    while (std::getline(in, line)) {
        line = trim(line);
        if (line.starts_with('[')) {
            inMain = line == "[Desktop Entry]";
            continue;
        }
        if (!inMain) continue;
        const auto equals = line.find('=');
        if (equals == std::string::npos) continue;
        const std::string key = trim(line.substr(0, equals));
        const std::string value = trim(line.substr(equals + 1));
        if (key == "Hidden" && value == "true") return Status::notRegistered;
        if (key == "X-GNOME-Autostart-enabled" && value == "false") return Status::notRegistered;
        if (key == "Exec" && !value.empty()) hasExec = true;
    }
    return hasExec ? Status::enabled : Status::notRegistered;
}

std::string execLine(const std::string& executable) {
    std::string quoted = "\"";
    for (const char c : executable) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            throw Error("the program's path cannot start at login: it holds a control character");
        if (c == '"' || c == '`' || c == '$' || c == '\\') quoted += '\\';
        quoted += c;
    }
    quoted += "\" --at-login";
    std::string line;
    for (const char c : quoted) {
        if (c == '\\') line += "\\\\";
        else if (c == '%') line += "%%";
        else line += c;
    }
    return line;
}

void set(bool enabled, const std::filesystem::path& executable, const std::filesystem::path& configHome) {
    const auto path = file(configHome);
    if (!enabled) {
        std::error_code error;
        std::filesystem::remove(path, error);
        if (error) throw Error("cannot remove " + path.string() + ": " + error.message());
        return;
    }
    const std::string content = "[Desktop Entry]\n"
                                "Type=Application\n"
                                "Name=Corvane\n"
                                "Comment=Shows the box's Windows desktop\n"
                                "Icon=corvane\n"
                                "Exec=" + execLine(executable.string()) + "\n"
                                "Terminal=false\n"
                                "X-GNOME-Autostart-enabled=true\n";
    std::error_code error;
    std::filesystem::create_directories(path.parent_path(), error);
    QSaveFile out(QString::fromStdString(path.string()));
    if (!out.open(QIODevice::WriteOnly) ||
        out.write(content.data(), static_cast<qint64>(content.size())) != static_cast<qint64>(content.size()) ||
        !out.commit())
        throw Error("cannot write " + path.string() + ": " + out.errorString().toStdString());
}

} // namespace corvane::platform::LoginItem
