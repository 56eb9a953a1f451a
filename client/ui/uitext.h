// Text helpers of the Qt front end: the client keeps its texts in the ANSI code page (the
// locale's character set), Qt in UTF-16; and the tray's fixed-size fields cut long texts by
// characters, never inside a multi-byte character.
#pragma once

#include <QString>
#include <string>

namespace ui {

QString FromAnsi(const std::string& text);
std::string ToAnsi(const QString& text);
// At most `maxChars` characters (code points) of `text`.
QString CutChars(const QString& text, int maxChars);

}  // namespace ui
