#include "tests/gallery/GalleryChecks.h"

#include <QAbstractButton>
#include <QAbstractScrollArea>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFontMetrics>
#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QStyle>
#include <QTextDocument>
#include <QWindow>

#include <algorithm>
#include <cmath>

namespace gallery {
namespace {

QString describe(const QWidget* widget) {
    QString text = QString::fromLatin1(widget->metaObject()->className());
    if (!widget->objectName().isEmpty()) {
        text += QStringLiteral(" \"") + widget->objectName() + QLatin1Char('"');
    }
    if (const auto* label = qobject_cast<const QLabel*>(widget)) {
        text += QStringLiteral(" '") + label->text().left(40) + QLatin1Char('\'');
    } else if (const auto* button = qobject_cast<const QAbstractButton*>(widget)) {
        text += QStringLiteral(" '") + button->text().left(40) + QLatin1Char('\'');
    }
    return text;
}

QString sizeText(QSize size) {
    return QStringLiteral("%1x%2").arg(size.width()).arg(size.height());
}

// Inside a scrolling area a child may be larger than what shows, or scrolled out of sight: the area clips it.
bool insideScrollArea(const QWidget* widget, const QWidget* window) {
    for (const QWidget* up = widget->parentWidget(); up != nullptr && up != window; up = up->parentWidget()) {
        if (qobject_cast<const QAbstractScrollArea*>(up) != nullptr) {
            return true;
        }
    }
    return false;
}

// Pictographs and dingbats typed as text instead of drawn as symbols.
bool isPictograph(char32_t c) {
    return (c >= 0x2190 && c <= 0x21FF) || // arrows
           (c >= 0x2300 && c <= 0x23FF) || // technical symbols
           (c >= 0x2460 && c <= 0x24FF) || // circled letters
           (c >= 0x25A0 && c <= 0x27BF) || // shapes, miscellaneous symbols, dingbats
           (c >= 0x2900 && c <= 0x297F) || // supplemental arrows
           (c >= 0x2B00 && c <= 0x2BFF) || // more arrows and shapes
           (c >= 0x1F000 && c <= 0x1FAFF); // emoji
}

// Joiners and selectors shape the characters around them and have no glyph of their own.
bool isInvisibleFormat(char32_t c) {
    return c == 0x200D || (c >= 0xFE00 && c <= 0xFE0F) || c == 0xFFFC || c == 0x20E3 || c < 0x20;
}

QString plainText(const QLabel* label) {
    if (label->textFormat() == Qt::RichText ||
        (label->textFormat() == Qt::AutoText && Qt::mightBeRichText(label->text()))) {
        QTextDocument document;
        document.setHtml(label->text());
        return document.toPlainText();
    }
    return label->text();
}

void checkGlyphs(const QWidget* widget, const QString& text, std::vector<Finding>& findings) {
    for (char32_t c : text.toUcs4()) {
        if (isInvisibleFormat(c)) {
            continue;
        }
        if (isPictograph(c) && !widget->font().families().contains(QStringLiteral("Noto Color Emoji"))) {
            findings.push_back({Fault::glyphAsIcon,
                                describe(widget) + QStringLiteral(" types U+") + QString::number(c, 16).toUpper()});
        }
        if (!hasGlyph(widget->font(), c)) {
            findings.push_back({Fault::missingGlyph, describe(widget) + QStringLiteral(" cannot draw U+") +
                                                         QString::number(c, 16).toUpper()});
        }
    }
}

void checkText(QWidget* widget, std::vector<Finding>& findings) {
    if (auto* label = qobject_cast<QLabel*>(widget)) {
        const QString text = plainText(label);
        if (text.isEmpty()) {
            return;
        }
        checkGlyphs(label, text, findings);
        const QRect box =
            label->contentsRect().adjusted(label->margin(), label->margin(), -label->margin(), -label->margin());
        const QFontMetrics metrics(label->font());
        if (label->wordWrap()) {
            const int needed = label->heightForWidth(label->width());
            if (needed > label->height() + 1) {
                findings.push_back(
                    {Fault::clippedText,
                     describe(label) + QStringLiteral(" needs height %1, has %2").arg(needed).arg(label->height())});
            }
            return;
        }
        if (label->property("elidesText").toBool()) {
            return; // cut with "…" by design when narrower than its text
        }
        int widest = 0;
        for (const QString& line : text.split(QLatin1Char('\n'))) {
            widest = std::max(widest, metrics.horizontalAdvance(line));
        }
        const int tall = metrics.height() * static_cast<int>(text.count(QLatin1Char('\n')) + 1);
        if (widest > box.width() + 1 || tall > box.height() + 2) {
            findings.push_back(
                {Fault::clippedText,
                 describe(label) +
                     QStringLiteral(" needs %1, has %2").arg(sizeText(QSize(widest, tall)), sizeText(box.size()))});
        }
        return;
    }
    if (auto* button = qobject_cast<QAbstractButton*>(widget)) {
        // Our symbols carry their name (setButtonSymbol); any other icon came from the machine's theme or style.
        if (!button->icon().isNull() && button->property("symbolName").toString().isEmpty()) {
            findings.push_back({Fault::foreignIcon, describe(button) + QStringLiteral(" shows an icon of no symbol")});
        }
        if (button->text().isEmpty()) {
            return;
        }
        checkGlyphs(button, button->text(), findings);
        const QSize hint = button->sizeHint();
        if (hint.width() > button->width() + 1) {
            findings.push_back(
                {Fault::clippedText,
                 describe(button) + QStringLiteral(" needs width %1, has %2").arg(hint.width()).arg(button->width())});
        }
        return;
    }
    if (auto* field = qobject_cast<QLineEdit*>(widget)) {
        checkGlyphs(field, field->text() + field->placeholderText(), findings);
        return;
    }
    if (auto* combo = qobject_cast<QComboBox*>(widget)) {
        for (int i = 0; i < combo->count(); ++i) {
            checkGlyphs(combo, combo->itemText(i), findings);
        }
    }
}

// A determinate bar must show as much fill as its value says. Qt itself repaints a bar only once its fill has
// grown by a chunk, and the groove's border is not fill: that much slack is no fault.
void checkProgress(QProgressBar* bar, const QWidget& window, const QImage& capture, std::vector<Finding>& findings) {
    if (bar->maximum() <= bar->minimum() || bar->orientation() != Qt::Horizontal || bar->width() <= 0) {
        return; // a busy indicator, or a shape this check does not read
    }
    const double expected =
        std::clamp(static_cast<double>(bar->value() - bar->minimum()) / (bar->maximum() - bar->minimum()), 0.0, 1.0);
    const double painted = paintedFill(*bar, window, capture);
    const int chunk = bar->style()->pixelMetric(QStyle::PM_ProgressBarChunkWidth, nullptr, bar);
    const double slack = std::max(0.03, (chunk + 4.0) / bar->width());
    if (std::abs(painted - expected) > slack) {
        findings.push_back(
            {Fault::unfilledBar,
             describe(bar) +
                 QStringLiteral(" at %1% shows %2% filled").arg(qRound(expected * 100)).arg(qRound(painted * 100))});
    }
}

} // namespace

std::string faultName(Fault fault) {
    switch (fault) {
    case Fault::crushed:
        return "crushed";
    case Fault::clippedText:
        return "clippedText";
    case Fault::outside:
        return "outside";
    case Fault::missingGlyph:
        return "missingGlyph";
    case Fault::glyphAsIcon:
        return "glyphAsIcon";
    case Fault::foreignIcon:
        return "foreignIcon";
    case Fault::unfilledBar:
        return "unfilledBar";
    }
    return "?";
}

bool hasGlyph(const QFont& font, char32_t codePoint) {
    if (QFontMetrics(font).inFontUcs4(codePoint)) {
        return true;
    }
    static const QFont emoji(QStringLiteral("Noto Color Emoji"));
    static const bool emojiInstalled = QFontInfo(emoji).family() == QStringLiteral("Noto Color Emoji");
    return emojiInstalled && QFontMetrics(emoji).inFontUcs4(codePoint);
}

double paintedFill(const QProgressBar& bar, const QWidget& window, const QImage& capture) {
    const QColor ink = bar.palette().color(QPalette::Highlight);
    const qreal scale = capture.devicePixelRatio();
    const QPoint origin = bar.mapTo(&window, QPoint(0, bar.height() / 2));
    const int y = qRound(origin.y() * scale);
    if (y < 0 || y >= capture.height()) {
        return 0.0;
    }
    int filled = 0;
    int read = 0;
    for (int x = qRound(origin.x() * scale); x < qRound((origin.x() + bar.width()) * scale); ++x) {
        if (x < 0 || x >= capture.width()) {
            continue;
        }
        ++read;
        const QColor colour = capture.pixelColor(x, y);
        // The chunk is shaded around the highlight colour; the empty groove is far from it.
        const int distance = std::abs(colour.red() - ink.red()) + std::abs(colour.green() - ink.green()) +
                             std::abs(colour.blue() - ink.blue());
        filled += distance < 120 ? 1 : 0;
    }
    return read == 0 ? 0.0 : static_cast<double>(filled) / read;
}

std::vector<Finding> inspect(QWidget& window, const QImage& capture) {
    std::vector<Finding> findings;
    const QRect windowRect = window.rect();
    for (QWidget* widget : window.findChildren<QWidget*>()) {
        if (!widget->isVisibleTo(&window) || widget->isWindow()) {
            continue;
        }
        if (qobject_cast<QScrollBar*>(widget) != nullptr || widget->objectName().startsWith(QLatin1String("qt_"))) {
            continue; // Qt's own parts of scrolling areas and combo boxes
        }
        const bool scrolled = insideScrollArea(widget, &window);
        const QSize hint = widget->minimumSizeHint();
        const bool wraps = qobject_cast<QLabel*>(widget) != nullptr && qobject_cast<QLabel*>(widget)->wordWrap();
        if (!scrolled && hint.isValid() && !wraps &&
            (widget->width() + 1 < hint.width() || widget->height() + 1 < hint.height())) {
            findings.push_back({Fault::crushed, describe(widget) + QStringLiteral(" is %1, needs at least %2")
                                                                       .arg(sizeText(widget->size()), sizeText(hint))});
        }
        if (!scrolled) {
            const QRect placed(widget->mapTo(&window, QPoint(0, 0)), widget->size());
            if (!windowRect.contains(placed)) {
                findings.push_back({Fault::outside,
                                    describe(widget) + QStringLiteral(" at %1,%2 %3 in a %4 window")
                                                           .arg(placed.x())
                                                           .arg(placed.y())
                                                           .arg(sizeText(placed.size()), sizeText(windowRect.size()))});
            }
        }
        checkText(widget, findings);
        if (auto* bar = qobject_cast<QProgressBar*>(widget)) {
            checkProgress(bar, window, capture, findings);
        }
    }
    return findings;
}

QImage captureOnScreen(QWidget& window) {
    const QWindow* handle = window.windowHandle();
    if (handle != nullptr && handle->screen() != nullptr) {
        QImage image = handle->screen()->grabWindow(window.winId()).toImage();
        if (!image.isNull()) {
            return image;
        }
    }
    return window.grab().toImage();
}

QString writeCapture(const QImage& capture, const QString& name) {
    QDir().mkpath(QStringLiteral(QB_GALLERY_DIR));
    const QString path = QStringLiteral(QB_GALLERY_DIR "/") + name + QStringLiteral(".png");
    capture.save(path);
    return path;
}

} // namespace gallery
