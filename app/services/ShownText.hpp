#pragma once

#include <QString>

#include <string_view>

namespace corvane {

// Text from the box, a feed or a file on its way into a widget (labels, alerts, menus, tool tips): cut to a
// sane length first, so that no window grows past the screen and no megabyte of it is laid out.
namespace ShownText {

inline constexpr int kMaxChars = 600;

// At most `maxChars` UTF-16 units, then an ellipsis; a character is never split in two. Only the start of a
// long text is decoded.
QString cut(std::string_view text, int maxChars = kMaxChars);
// The same length, taken out of the middle of the longest path in `text` (a run from a "/" to a blank), so that
// what surrounds it (a reason, advice) stays whole; the end goes only where the path cannot give enough.
QString cutPath(std::string_view text, int maxChars = kMaxChars);

} // namespace ShownText

} // namespace corvane
