#include "platform/qt/EmojiText.h"

#include <QFont>
#include <QFontDatabase>
#include <QFontMetricsF>
#include <QPainter>
#include <QTextBoundaryFinder>
#include <QTextCharFormat>

#include <algorithm>
#include <memory>

namespace platform {
namespace {

constexpr char32_t textSelector = 0xFE0E;
constexpr char32_t emojiSelector = 0xFE0F;
constexpr char32_t zeroWidthJoiner = 0x200D;
constexpr char32_t keycapMark = 0x20E3;
constexpr char32_t cancelTag = 0xE007F;
const QString emojiFamily = QStringLiteral("Noto Color Emoji");

struct Range {
    char32_t first;
    char32_t last;
};

bool inRanges(char32_t c, std::initializer_list<Range> ranges) {
    return std::any_of(ranges.begin(), ranges.end(), [c](const Range& r) { return c >= r.first && c <= r.last; });
}

bool isSupplementaryPictograph(char32_t c) {
    return c >= 0x1F000 && c <= 0x1FAFF;
}
bool isRegionalIndicator(char32_t c) {
    return c >= 0x1F1E6 && c <= 0x1F1FF;
}
bool isSkinTone(char32_t c) {
    return c >= 0x1F3FB && c <= 0x1F3FF;
}
bool isTag(char32_t c) {
    return c >= 0xE0020 && c <= 0xE007E;
}
bool isKeycapBase(char32_t c) {
    return (c >= '0' && c <= '9') || c == '#' || c == '*';
}

// Characters that may take part in an emoji: the symbols the emoji set draws from. Letters, digits and
// punctuation of any script are left out, so a joiner or selector after them changes nothing.
bool isPictograph(char32_t c) {
    return isSupplementaryPictograph(c) ||
           inRanges(c, {{0x00A9, 0x00A9}, {0x00AE, 0x00AE}, {0x203C, 0x203C}, {0x2049, 0x2049}, {0x2122, 0x2122},
                        {0x2139, 0x2139}, {0x2194, 0x2199}, {0x21A9, 0x21AA}, {0x231A, 0x231B}, {0x2328, 0x2328},
                        {0x23CF, 0x23CF}, {0x23E9, 0x23F3}, {0x23F8, 0x23FA}, {0x24C2, 0x24C2}, {0x25AA, 0x25AB},
                        {0x25B6, 0x25B6}, {0x25C0, 0x25C0}, {0x25FB, 0x25FE}, {0x2600, 0x27BF}, {0x2934, 0x2935},
                        {0x2B05, 0x2B07}, {0x2B1B, 0x2B1C}, {0x2B50, 0x2B50}, {0x2B55, 0x2B55}, {0x3030, 0x3030},
                        {0x303D, 0x303D}, {0x3297, 0x3297}, {0x3299, 0x3299}});
}

// Pictographs shown as emoji even without a selector; the rest of the symbols above are text until U+FE0F.
bool isEmojiByDefault(char32_t c) {
    return isSupplementaryPictograph(c) ||
           inRanges(c, {{0x231A, 0x231B}, {0x23E9, 0x23EC}, {0x23F0, 0x23F0}, {0x23F3, 0x23F3}, {0x25FD, 0x25FE},
                        {0x2614, 0x2615}, {0x2648, 0x2653}, {0x267F, 0x267F}, {0x2693, 0x2693}, {0x26A1, 0x26A1},
                        {0x26AA, 0x26AB}, {0x26BD, 0x26BE}, {0x26C4, 0x26C5}, {0x26CE, 0x26CE}, {0x26D4, 0x26D4},
                        {0x26EA, 0x26EA}, {0x26F2, 0x26F3}, {0x26F5, 0x26F5}, {0x26FA, 0x26FA}, {0x26FD, 0x26FD},
                        {0x2705, 0x2705}, {0x270A, 0x270B}, {0x2728, 0x2728}, {0x274C, 0x274C}, {0x274E, 0x274E},
                        {0x2753, 0x2755}, {0x2757, 0x2757}, {0x2795, 0x2797}, {0x27B0, 0x27B0}, {0x27BF, 0x27BF},
                        {0x2B1B, 0x2B1C}, {0x2B50, 0x2B50}, {0x2B55, 0x2B55}});
}

// The code point at `at` and its length in UTF-16 units; a lone surrogate reads as itself.
struct CodePoint {
    char32_t value = 0;
    int size = 0;
};

CodePoint codePointAt(const QString& text, int at) {
    if (at >= text.size()) {
        return {};
    }
    const QChar unit = text.at(at);
    if (unit.isHighSurrogate() && at + 1 < text.size() && text.at(at + 1).isLowSurrogate()) {
        return {QChar::surrogateToUcs4(unit, text.at(at + 1)), 2};
    }
    return {unit.unicode(), 1};
}

enum class Presentation { none, text, emoji };

struct Element {
    int end = 0;
    Presentation presentation = Presentation::none;
};

// One emoji element starting at `at`: a base with its selector, keycap mark, skin tone or tag sequence.
Element readElement(const QString& text, int at) {
    const CodePoint base = codePointAt(text, at);
    int end = at + base.size;
    if (isKeycapBase(base.value)) {
        int mark = end;
        if (codePointAt(text, mark).value == emojiSelector) {
            ++mark;
        }
        if (codePointAt(text, mark).value == keycapMark) {
            return {mark + 1, Presentation::emoji};
        }
        return {end, Presentation::none};
    }
    if (isRegionalIndicator(base.value)) {
        const CodePoint second = codePointAt(text, end);
        return {isRegionalIndicator(second.value) ? end + second.size : end, Presentation::emoji};
    }
    if (!isPictograph(base.value)) {
        return {end, Presentation::none};
    }
    bool emoji = isEmojiByDefault(base.value);
    CodePoint next = codePointAt(text, end);
    if (next.value == textSelector) {
        return {end + 1, Presentation::text};
    }
    if (next.value == emojiSelector) {
        emoji = true;
        end += next.size;
        next = codePointAt(text, end);
    }
    if (isSkinTone(next.value)) {
        emoji = true;
        end += next.size;
        next = codePointAt(text, end);
    }
    int tags = end;
    while (isTag(next.value)) {
        tags += next.size;
        next = codePointAt(text, tags);
    }
    if (tags > end && next.value == cancelTag) {
        emoji = true;
        end = tags + next.size;
    }
    return {end, emoji ? Presentation::emoji : Presentation::text};
}

} // namespace

std::vector<TextRun> emojiRuns(const QString& text) {
    std::vector<TextRun> runs;
    int at = 0;
    while (at < text.size()) {
        Element element = readElement(text, at);
        if (element.presentation == Presentation::none) {
            at = element.end;
            continue;
        }
        const int start = at;
        bool emoji = element.presentation == Presentation::emoji;
        // A joiner binds the next element only when that one is an emoji element too.
        while (codePointAt(text, element.end).value == zeroWidthJoiner) {
            const Element joined = readElement(text, element.end + 1);
            if (joined.presentation == Presentation::none) {
                break;
            }
            emoji = emoji || joined.presentation == Presentation::emoji;
            element = joined;
        }
        at = element.end;
        if (!emoji) {
            continue;
        }
        if (!runs.empty() && runs.back().start + runs.back().length == start) {
            runs.back().length = at - runs.back().start;
        } else {
            runs.push_back({start, at - start});
        }
    }
    return runs;
}

bool useColourEmoji(QTextLayout& layout) {
    static const bool installed = QFontDatabase::families().contains(emojiFamily);
    const std::vector<TextRun> runs = installed ? emojiRuns(layout.text()) : std::vector<TextRun>{};
    if (runs.empty()) {
        layout.clearFormats();
        return false;
    }
    const QFont font = layout.font();
    QStringList families{emojiFamily};
    families << (font.families().isEmpty() ? QStringList{font.family()} : font.families());
    QTextCharFormat format;
    format.setFontFamilies(families);
    QString shown = layout.text();
    QList<QTextLayout::FormatRange> formats;
    for (const TextRun& run : runs) {
        for (int i = run.start; i + 1 < run.start + run.length; ++i) {
            const QChar next = shown.at(i + 1);
            if (shown.at(i) == QChar(emojiSelector) && (next == QChar(zeroWidthJoiner) || next == QChar(keycapMark))) {
                shown[i] = QChar(zeroWidthJoiner);
            }
        }
        formats.append({run.start, run.length, format});
    }
    layout.setText(shown);
    layout.setFormats(formats);
    return true;
}

void endLineAtClusterBoundary(QTextLine& line, QTextBoundaryFinder& clusters) {
    const qsizetype start = line.textStart();
    const qsizetype end = start + line.textLength();
    clusters.setPosition(end);
    if (clusters.isAtBoundary()) {
        return;
    }
    qsizetype boundary = clusters.toPreviousBoundary();
    if (boundary <= start) {
        clusters.setPosition(end);
        boundary = clusters.toNextBoundary();
    }
    if (boundary > start) {
        line.setNumColumns(static_cast<int>(boundary - start));
    }
}

TextLineBox textLineBox(const QFont& font) {
    QTextLayout layout(QStringLiteral(" "), font);
    layout.beginLayout();
    const QTextLine line = layout.createLine();
    layout.endLayout();
    return {line.ascent(), line.height()};
}

namespace {

// Lays `text` out as a single unwrapped line; returns it, and the box it takes.
QTextLine layOutLine(QTextLayout& layout, TextLineBox& box) {
    box = useColourEmoji(layout) ? textLineBox(layout.font()) : TextLineBox{};
    QTextOption option;
    option.setWrapMode(QTextOption::NoWrap);
    layout.setTextOption(option);
    layout.beginLayout();
    QTextLine line = layout.createLine();
    if (line.isValid()) {
        line.setPosition(QPointF(0, 0));
    }
    layout.endLayout();
    return line;
}

} // namespace

void drawElidedLine(QPainter& painter, const QRectF& rect, const QString& text, const QFont& font,
                    Qt::Alignment vertical) {
    QString shown = text;
    for (QChar& c : shown) {
        if (c == QLatin1Char('\n') || c == QLatin1Char('\r') || c == QChar::LineSeparator ||
            c == QChar::ParagraphSeparator) {
            c = QLatin1Char(' ');
        }
    }
    auto layout = std::make_unique<QTextLayout>(shown, font);
    TextLineBox box;
    QTextLine line = layOutLine(*layout, box);
    if (!line.isValid()) {
        return;
    }
    if (line.naturalTextWidth() > rect.width()) {
        const QChar ellipsis(0x2026);
        const qreal room = rect.width() - QFontMetricsF(font).horizontalAdvance(ellipsis);
        int cut = std::max(line.xToCursor(std::max<qreal>(room, 0), QTextLine::CursorBetweenCharacters), 0);
        while (cut > 0 && (!layout->isValidCursorPosition(cut) || line.cursorToX(cut) > room)) {
            cut = layout->previousCursorPosition(cut);
        }
        // Never keep half of an emoji sequence: a cut joiner sequence would draw as its separate people.
        for (const TextRun& run : emojiRuns(shown)) {
            if (cut > run.start && cut < run.start + run.length) {
                cut = run.start;
            }
        }
        shown = shown.left(cut) + ellipsis;
        layout = std::make_unique<QTextLayout>(shown, font);
        line = layOutLine(*layout, box);
    }
    qreal top = rect.top() + box.drop(line);
    if (vertical.testFlag(Qt::AlignVCenter)) {
        top += (rect.height() - box.heightOf(line)) / 2;
    }
    painter.save();
    painter.setFont(font);
    layout->draw(&painter, QPointF(rect.left(), top));
    painter.restore();
}

} // namespace platform
