#include "Corvantesk/qt/TrackingNames.h"

#include <cstdint>

#include <QList>

namespace corvantesk {
namespace {

constexpr qsizetype kMaxNameLength = 100;

bool isPunctuation(char32_t c) {
    return QChar::isPunct(c);
}

bool isBlank(char32_t c) {
    return QChar::isSpace(c);
}

template <class Predicate> QList<uint> trimmed(QList<uint> text, Predicate drop) {
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && drop(text[begin])) {
        ++begin;
    }
    while (end > begin && drop(text[end - 1])) {
        --end;
    }
    return text.mid(begin, end - begin);
}

QString fromCodePoints(const QList<uint>& codePoints) {
    return QString::fromUcs4(reinterpret_cast<const char32_t*>(codePoints.constData()), codePoints.size());
}

} // namespace

QString normalizeTrackingName(const QString& text) {
    QString name = text.toLower();
    name.replace(QLatin1Char(' '), QLatin1Char('_'));
    name.replace(QLatin1Char('-'), QLatin1Char('_'));
    name.remove(QStringLiteral("..."));
    name.replace(QLatin1Char('.'), QLatin1Char('_'));
    // Count characters, not UTF-16 units, so a name is never cut inside a surrogate pair.
    auto codePoints = trimmed(name.toUcs4(), [](uint c) { return isPunctuation(c); });
    codePoints = trimmed(codePoints, [](uint c) { return isBlank(c); });
    if (codePoints.size() <= kMaxNameLength) {
        return fromCodePoints(codePoints);
    }
    std::uint32_t hash = 5381;
    for (const char byte : fromCodePoints(codePoints).toUtf8()) {
        hash = hash * 33u + static_cast<std::uint8_t>(byte);
    }
    const QString suffix = QStringLiteral("_%1").arg(hash, 8, 16, QLatin1Char('0'));
    const auto head = trimmed(codePoints.mid(0, kMaxNameLength - 9), [](uint c) { return c == '_'; });
    return fromCodePoints(head) + suffix;
}

QString cleanActionName(QString name) {
    for (const auto* prefix : {"_", "NS", "perform", "handle"}) {
        const QString text = QString::fromLatin1(prefix);
        if (name.startsWith(text, Qt::CaseInsensitive)) {
            name.remove(0, text.size());
        }
    }
    for (const auto* suffix : {"Action", "Clicked", "Pressed", "Tapped"}) {
        const QString text = QString::fromLatin1(suffix);
        if (name.endsWith(text, Qt::CaseSensitive)) {
            name.chop(text.size());
        }
    }
    return name;
}

QString withoutMnemonic(const QString& text) {
    QString result;
    result.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] == QLatin1Char('&')) {
            if (i + 1 < text.size() && text[i + 1] == QLatin1Char('&')) {
                result += QLatin1Char('&');
                ++i;
            }
            continue;
        }
        result += text[i];
    }
    return result;
}

QString plainClassName(const char* className) {
    QString name = QString::fromLatin1(className);
    const auto scope = name.lastIndexOf(QStringLiteral("::"));
    if (scope >= 0) {
        name = name.mid(scope + 2);
    }
    // Qt's own prefix, as in QPushButton; a class of ours such as Quill... keeps its first letter.
    if (name.size() > 1 && name[0] == QLatin1Char('Q') && name[1].isUpper()) {
        name.remove(0, 1);
    }
    return name.toLower();
}

} // namespace corvantesk
