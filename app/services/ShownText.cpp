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

QString cutPath(std::string_view text, int maxChars) {
    // Far longer texts are no message of ours: only their start is decoded.
    if (text.size() > 16 * static_cast<std::size_t>(maxChars) + 4096) return cut(text, maxChars);
    const QString whole = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
    if (whole.size() <= maxChars) return whole;
    qsizetype start = 0, length = 0;
    for (qsizetype i = 0; i < whole.size();) {
        if (whole.at(i) != '/' || (i > 0 && !whole.at(i - 1).isSpace())) {
            ++i;
            continue;
        }
        qsizetype end = i;
        while (end < whole.size() && !whole.at(end).isSpace()) ++end;
        if (end - i > length) start = i, length = end - i;
        i = end;
    }
    // A folder's path ends in ":" or "." where the sentence goes on: those stay.
    while (length > 0 && (whole.at(start + length - 1) == ':' || whole.at(start + length - 1) == '.')) --length;
    // The path keeps a head and a tail of at least this much around the ellipsis.
    constexpr qsizetype kKept = 8;
    const qsizetype excess = whole.size() - maxChars + 1;
    if (length - excess < 2 * kKept) return cut(text, maxChars);
    qsizetype head = start + (length - excess) / 2;
    qsizetype tail = head + excess;
    if (whole.at(head - 1).isHighSurrogate()) --head;  // never split a character in two
    if (whole.at(tail).isLowSurrogate()) ++tail;
    return whole.left(head) + QChar(0x2026) + whole.mid(tail);
}

} // namespace corvane::ShownText
