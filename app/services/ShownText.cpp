#include "app/services/ShownText.hpp"

namespace corvane::ShownText {

QString cut(std::string_view text, int maxChars) {
    // Each UTF-8 byte makes between a third of a UTF-16 unit and one, so this many bytes decode to more than
    // `maxChars` units whenever the text is longer; a sequence cut at the end lands past the cut.
    const std::size_t enough = 4 * (static_cast<std::size_t>(maxChars) + 1);
    const std::string_view start = text.substr(0, enough);
    QString result = QString::fromUtf8(start.data(), static_cast<qsizetype>(start.size()));
    if (result.size() > maxChars) {
        qsizetype end = maxChars;
        if (result.at(end - 1).isHighSurrogate()) --end;  // never split a character in two
        result = result.left(end) + QChar(0x2026);
    }
    return result;
}

} // namespace corvane::ShownText
