#include "ui/uitext.h"

#include <QList>

#include "util/util.h"

namespace ui {

QString FromAnsi(const std::string& text) {
    std::string utf8 = text;
    CUtil::AnsiToUtf8(utf8);
    return QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()));
}

std::string ToAnsi(const QString& text) {
    QByteArray utf8 = text.toUtf8();
    std::string out(utf8.constData(), static_cast<size_t>(utf8.size()));
    CUtil::Utf8ToAnsi(out);
    return out;
}

QString CutChars(const QString& text, int maxChars) {
    if (maxChars <= 0)
        return QString();
    // Cheap test first: a text of at most maxChars UTF-16 units has at most that many characters.
    if (text.size() <= maxChars)
        return text;
    QList<uint> chars = text.toUcs4();
    if (chars.size() <= maxChars)
        return text;
    chars.resize(maxChars);
    return QString::fromUcs4(reinterpret_cast<const char32_t*>(chars.constData()), maxChars);
}

}  // namespace ui
