// How the message list lays out and paints its rows (the rows themselves: MessageRowModel.cpp).
#include "Quillobrandt/conversation/MessageList.h"

#include <QAbstractItemView>
#include <QFontMetricsF>
#include <QHelpEvent>
#include <QImageReader>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QTextLayout>
#include <QToolTip>

#include <algorithm>

#include "Quillobrandt/app/FocusRing.h"
#include "Quillobrandt/app/SymbolIcon.h"
#include "Quillobrandt/app/TextContrast.h"
#include "Quillobrandt/conversation/DateSeparatorView.h"
#include "Quillobrandt/conversation/DayLabels.h"
#include "Quillobrandt/conversation/WrappedText.h"

namespace quillobrandt {

namespace {

constexpr qreal rowSpacing = 16;
constexpr qreal pictureMax = 300;
constexpr qreal deleteSize = 20;
constexpr qreal columnSpacing = 4;
constexpr qreal sideInset = messageListPadding;
constexpr qreal placeholderWidth = 220;
constexpr qreal placeholderNoteTop = 60; // below the picture symbol and the file name
constexpr qreal placeholderInset = 6;

// The day header's height, from the same font the list draws it with.
qreal headerHeight() {
    return DateSeparatorView::heightFor(ConversationStyle::font(13));
}

// A failed picture's placeholder grows with its note ("Path: …"), so the note is never cut off.
QSizeF pictureSize(const BubblePicture& picture) {
    if (picture.loadable && !picture.pixelSize.isEmpty()) {
        const QSizeF size = picture.pixelSize;
        return size.scaled(QSizeF(pictureMax, pictureMax), Qt::KeepAspectRatio).boundedTo(size.expandedTo({1, 1}));
    }
    const qreal note = picture.failureNote.isEmpty() ? 0
                                                     : wrappedTextSize(picture.failureNote, ConversationStyle::font(10),
                                                                       placeholderWidth - 2 * placeholderInset)
                                                           .height();
    return {placeholderWidth, std::max<qreal>(92, placeholderNoteTop + note + 8)};
}

// Where a failed picture's placeholder names its file, under the symbol.
QRectF placeholderNameRect(const QRectF& picture) {
    return {picture.left() + placeholderInset, picture.top() + 42, picture.width() - 2 * placeholderInset, 16};
}

QSizeF textSize(const QString& text, const QFont& font, qreal maxWidth) {
    return wrappedTextSize(text, font, maxWidth);
}

// Everything drawn for the message itself: its sender's name, bubble, pictures, files, placeholder and time.
QRectF messageBounds(const MessageRowGeometry& g) {
    QRectF bounds = g.senderName | g.textBubble | g.attachmentList | g.unsupported | g.time;
    for (const QRectF& picture : g.pictures) {
        bounds |= picture;
    }
    return bounds;
}

void fillRounded(QPainter* p, const QRectF& rect, qreal radius, const QColor& color) {
    QPainterPath path;
    path.addRoundedRect(rect, radius, radius);
    p->fillPath(path, color);
}

} // namespace

MessageRowGeometry layoutMessageRow(const MessageRow& row, qreal width) {
    MessageRowGeometry g;
    if (row.layout.empty) {
        g.height = row.marginAbove + row.marginBelow;
        return g;
    }
    const BubbleContent& c = row.content;
    qreal y = row.marginAbove + (row.layout.headerPaddingAbove ? 8 : 0);
    if (row.layout.showDateHeader) {
        g.header = QRectF(0, y, width, headerHeight());
        y += g.header.height() + rowSpacing;
    }
    const qreal maxColumn =
        std::max<qreal>(120, std::min((width - 2 * sideInset) * 0.7, width - 2 * sideInset - row.marginTrailing));
    const qreal top = y;
    // Stack the column's pieces at x = 0 first; they are moved to their side below.
    std::vector<QRectF*> pieces;
    qreal columnWidth = 0;
    const auto place = [&](QRectF& rect, QSizeF size) {
        if (!pieces.empty()) {
            y += columnSpacing;
        }
        rect = QRectF(QPointF(0, y), size);
        y += size.height();
        columnWidth = std::max(columnWidth, size.width());
        pieces.push_back(&rect);
    };
    if (c.senderName) {
        const QSizeF s = textSize(*c.senderName, ConversationStyle::font(10), maxColumn - 14);
        place(g.senderName, {s.width() + 14, s.height() + 2});
    }
    g.pictures.resize(c.pictures.size());
    for (std::size_t i = 0; i < c.pictures.size(); ++i) {
        place(g.pictures[i], pictureSize(c.pictures[i]));
    }
    if (c.text) {
        const QSizeF s = textSize(*c.text, ConversationStyle::font(13), maxColumn - 28);
        place(g.textBubble, {s.width() + 28, s.height() + 20});
        g.textArea = QRectF(14, 10, s.width(), s.height());
    }
    if (!c.attachmentNames.empty()) {
        // One line per file, as wide as its name up to the column's width.
        const QFontMetricsF metrics(ConversationStyle::font(10));
        qreal w = 16;
        for (const auto& name : c.attachmentNames) {
            w = std::max(w, std::min(std::ceil(metrics.horizontalAdvance(name)), maxColumn - 24));
        }
        for (const auto& name : c.attachmentNames) {
            g.attachmentTexts.push_back(metrics.elidedText(name, Qt::ElideMiddle, w));
        }
        const qreal line = metrics.height();
        place(g.attachmentList, {w + 24, 16 + 16 + 4 + static_cast<qreal>(c.attachmentNames.size()) * (line + 4)});
    }
    if (c.unsupported) {
        const QSizeF title =
            textSize(QString::fromUtf8(unsupportedTitle), ConversationStyle::font(10, false, true), maxColumn);
        const QSizeF note = textSize(QString::fromUtf8(unsupportedNote), ConversationStyle::font(10), maxColumn - 24);
        place(g.unsupported,
              {std::max(title.width(), note.width()) + 24, 16 + 20 + title.height() + note.height() + 8});
    }
    place(g.time, textSize(c.time, ConversationStyle::font(10), maxColumn));

    const qreal deleteWidth = row.showDelete ? deleteSize + 8 : 0;
    const qreal blockWidth = columnWidth + deleteWidth;
    const qreal blockLeft = c.fromMe ? width - sideInset - row.marginTrailing - blockWidth : sideInset;
    const qreal columnLeft = blockLeft + deleteWidth;
    for (QRectF* rect : pieces) {
        // Own messages align to the column's trailing edge, received ones to its leading edge.
        const qreal x = c.fromMe ? columnLeft + columnWidth - rect->width() : columnLeft;
        rect->moveLeft(x);
    }
    if (!g.textBubble.isNull()) {
        g.textArea.translate(g.textBubble.topLeft());
    }
    if (!g.attachmentList.isNull()) {
        const QRectF inner = g.attachmentList.adjusted(12, 8, -12, -8);
        const qreal line = QFontMetricsF(ConversationStyle::font(10)).height() + 4;
        for (std::size_t i = 0; i < g.attachmentTexts.size(); ++i) {
            g.attachmentLines.emplace_back(inner.left(), inner.top() + 20 + static_cast<qreal>(i) * line, inner.width(),
                                           line);
        }
    }
    if (row.showDelete) {
        g.deleteButton = QRectF(blockLeft, top + (y - top - deleteSize) / 2, deleteSize, deleteSize);
    }
    g.height = y + rowSpacing + row.marginBelow;
    return g;
}

// Rows are as wide as the list's visible area, whatever rectangle the view hands in: a row laid out
// before the vertical scroll bar appeared must not stick out under it.
qreal MessageRowDelegate::rowWidth(const QStyleOptionViewItem& option) {
    qreal width = option.rect.width();
    if (const auto* view = qobject_cast<const QAbstractItemView*>(option.widget)) {
        width = view->viewport()->width();
    }
    return width > 0 ? width : 600;
}

QSize MessageRowDelegate::sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const {
    const auto* model = qobject_cast<const MessageRowModel*>(index.model());
    if (!model) {
        return {};
    }
    const qreal width = rowWidth(option);
    return {static_cast<int>(width),
            static_cast<int>(std::ceil(layoutMessageRow(model->rowAt(index.row()), width).height))};
}

QImage MessageRowDelegate::picture(const QString& path, QSize size) const {
    const QString key = path + QLatin1Char('@') + QString::number(size.width()) + 'x' + QString::number(size.height());
    if (QImage* cached = pictures_.object(key)) {
        return *cached;
    }
    auto image = std::make_unique<QImage>(pictureReader().load(path, size));
    const QImage result = *image;
    pictures_.insert(key, image.release());
    return result;
}

void MessageRowDelegate::paint(QPainter* p, const QStyleOptionViewItem& option, const QModelIndex& index) const {
    const auto* model = qobject_cast<const MessageRowModel*>(index.model());
    if (!model) {
        return;
    }
    const MessageRow& row = model->rowAt(index.row());
    if (row.layout.empty) {
        return;
    }
    const MessageRowGeometry g = layoutMessageRow(row, rowWidth(option));
    const BubbleContent& c = row.content;
    const QColor primary = option.palette.color(QPalette::WindowText);
    const QColor secondary = ConversationStyle::secondary(option.palette);
    const QColor listBackground = option.palette.color(QPalette::Base);
    QColor gray20 = ConversationStyle::gray();
    gray20.setAlphaF(0.2f);

    p->save();
    p->setRenderHint(QPainter::Antialiasing);
    p->translate(option.rect.topLeft());
    if (!g.header.isNull()) {
        QPalette palette = option.palette;
        palette.setColor(QPalette::WindowText, primary);
        DateSeparatorView::paint(*p, g.header, localDateTime(row.message.date), ConversationStyle::font(13), palette);
    }
    // A marked message is still there to review, faded (its day header belongs to the day and stays); only
    // its undo button keeps full strength.
    constexpr qreal markedOpacity = 0.4;
    if (row.marked) {
        p->setOpacity(markedOpacity);
    }
    if (c.senderName) {
        p->setPen(readableOn(c.senderColor, listBackground)); // the sender's hue, as light or dark as reads
        drawWrappedText(*p, g.senderName.adjusted(14, 0, 0, -2), *c.senderName, ConversationStyle::font(10));
    }
    if (c.text) {
        // Over the list's own background, which a dark palette darkens under a translucent bubble.
        const BubblePalette colours = bubblePalette(c.fromMe, c.theme, option.palette.color(QPalette::Base));
        fillRounded(p, g.textBubble, 18, colours.background);
        p->setPen(colours.text);
        QFont font = ConversationStyle::font(13);
        font.setStrikeOut(row.marked);
        // Whatever a line holds, nothing of it is drawn outside the bubble (a glyph overhanging its line, a
        // cluster wider than the bubble).
        QPainterPath bubble;
        bubble.addRoundedRect(g.textBubble, 18, 18);
        p->save();
        p->setClipPath(bubble, Qt::IntersectClip);
        drawWrappedText(*p, g.textArea, *c.text, font);
        p->restore();
    }
    for (std::size_t i = 0; i < c.pictures.size(); ++i) {
        const BubblePicture& picture = c.pictures[i];
        const QRectF rect = g.pictures[i];
        const QImage image = picture.loadable ? this->picture(picture.filePath, rect.size().toSize()) : QImage();
        if (!image.isNull()) {
            QPainterPath clip;
            clip.addRoundedRect(rect, 12, 12);
            p->save();
            p->setClipPath(clip);
            p->drawImage(rect, image);
            p->restore();
            continue;
        }
        fillRounded(p, rect, 12, gray20);
        p->setPen(secondary);
        paintSymbol(*p, QRectF(rect.center().x() - 14, rect.top() + 9, 28, 28), QStringLiteral("photo"), secondary);
        const QFont small = ConversationStyle::font(10);
        p->setFont(small);
        const QRectF nameRect = placeholderNameRect(rect);
        p->drawText(nameRect, Qt::AlignCenter,
                    QFontMetricsF(small).elidedText(picture.filename, Qt::ElideMiddle, nameRect.width()));
        // The note's hue on the placeholder, as dark (or light) as reading it needs.
        const QColor note = picture.failureNoteIsBackup ? ConversationStyle::orange() : ConversationStyle::red();
        p->setPen(readableOn(note, blendOver(gray20, listBackground)));
        drawWrappedText(*p,
                        QRectF(rect.left() + placeholderInset, rect.top() + placeholderNoteTop,
                               rect.width() - 2 * placeholderInset, rect.bottom() - rect.top() - placeholderNoteTop),
                        picture.failureNote, small, Qt::AlignHCenter);
    }
    if (!g.attachmentList.isNull()) {
        fillRounded(p, g.attachmentList, 18, gray20);
        p->setPen(secondary);
        const QRectF inner = g.attachmentList.adjusted(12, 8, -12, -8);
        paintSymbol(*p, QRectF(inner.center().x() - 7, inner.top() + 1, 14, 14), QStringLiteral("paperclip"),
                    secondary);
        p->setFont(ConversationStyle::font(10));
        for (std::size_t i = 0; i < g.attachmentLines.size(); ++i) {
            p->drawText(g.attachmentLines[i], Qt::AlignCenter, g.attachmentTexts[i]);
        }
    }
    if (!g.unsupported.isNull()) {
        QColor gray15 = ConversationStyle::gray();
        gray15.setAlphaF(0.15f);
        fillRounded(p, g.unsupported, 18, gray15);
        const QRectF inner = g.unsupported.adjusted(12, 8, -12, -8);
        p->setPen(secondary);
        paintSymbol(*p, QRectF(inner.center().x() - 9, inner.top() + 1, 18, 18), QStringLiteral("questionmark.circle"),
                    secondary);
        p->setFont(ConversationStyle::font(10, false, true));
        const qreal line = QFontMetricsF(p->font()).height();
        p->drawText(QRectF(inner.left(), inner.top() + 24, inner.width(), line), Qt::AlignCenter,
                    QString::fromUtf8(unsupportedTitle));
        p->setFont(ConversationStyle::font(10));
        p->drawText(QRectF(inner.left(), inner.top() + 24 + line, inner.width(), line + 4),
                    Qt::AlignCenter | Qt::TextWordWrap, QString::fromUtf8(unsupportedNote));
    }
    p->setFont(ConversationStyle::font(10));
    p->setPen(secondary);
    p->drawText(g.time, (c.fromMe ? Qt::AlignRight : Qt::AlignLeft) | Qt::AlignVCenter, c.time);
    if (!g.deleteButton.isNull()) {
        p->setOpacity(1.0);
        if (option.state.testFlag(QStyle::State_HasFocus)) {
            // The button Space presses on the keyboard's current row.
            paintFocusRing(*p, g.deleteButton.adjusted(-3, -3, 3, 3), focusRingColour(option.palette, listBackground));
        }
        if (row.marked) {
            paintSymbol(*p, g.deleteButton.adjusted(2, 2, -2, -2), QStringLiteral("arrow.uturn.backward"),
                        ConversationStyle::blue());
        } else {
            paintSymbol(*p, g.deleteButton.adjusted(2, 2, -2, -2), QStringLiteral("trash"), ConversationStyle::red());
        }
    } else if (option.state.testFlag(QStyle::State_HasFocus) &&
               option.state.testFlag(QStyle::State_KeyboardFocusChange)) {
        // Reading: the message the arrow keys move from, once the keyboard is in the list.
        p->setOpacity(1.0);
        paintFocusRing(*p, messageBounds(g).adjusted(-6, -4, 6, 4), focusRingColour(option.palette, listBackground),
                       10);
    }
    p->restore();
}

bool MessageRowDelegate::editorEvent(QEvent* event, QAbstractItemModel* model, const QStyleOptionViewItem& option,
                                     const QModelIndex& index) {
    const auto* rows = qobject_cast<const MessageRowModel*>(model);
    if (rows && event->type() == QEvent::MouseButtonRelease) {
        const auto* mouse = static_cast<QMouseEvent*>(event);
        const MessageRow& row = rows->rowAt(index.row());
        if (row.showDelete) {
            const MessageRowGeometry g = layoutMessageRow(row, rowWidth(option));
            if (g.deleteButton.contains(mouse->position() - option.rect.topLeft())) {
                if (row.marked) {
                    emit restoreRequested(index.row());
                } else {
                    emit deleteRequested(index.row());
                }
                return true;
            }
        }
    }
    return QStyledItemDelegate::editorEvent(event, model, option, index);
}

bool MessageRowDelegate::helpEvent(QHelpEvent* event, QAbstractItemView* view, const QStyleOptionViewItem& option,
                                   const QModelIndex& index) {
    const auto* rows = qobject_cast<const MessageRowModel*>(index.model());
    if (rows == nullptr || event->type() != QEvent::ToolTip) {
        return QStyledItemDelegate::helpEvent(event, view, option, index);
    }
    const MessageRow& row = rows->rowAt(index.row());
    const MessageRowGeometry g = layoutMessageRow(row, rowWidth(option));
    const QPointF at = event->pos() - option.rect.topLeft();
    QString tip;
    if (g.deleteButton.contains(at)) {
        tip = QString::fromUtf8(row.marked ? undoButtonName : deleteButtonName);
    }
    for (std::size_t i = 0; i < g.attachmentLines.size(); ++i) {
        if (g.attachmentLines[i].contains(at) && g.attachmentTexts[i] != row.content.attachmentNames[i]) {
            tip = row.content.attachmentNames[i];
        }
    }
    const QFontMetricsF metrics(ConversationStyle::font(10));
    for (std::size_t i = 0; i < g.pictures.size(); ++i) {
        const BubblePicture& picture = row.content.pictures[i];
        const QRectF name = placeholderNameRect(g.pictures[i]);
        if (!picture.loadable && name.contains(at) && metrics.horizontalAdvance(picture.filename) > name.width()) {
            tip = picture.filename;
        }
    }
    if (tip.isEmpty()) {
        return QStyledItemDelegate::helpEvent(event, view, option, index);
    }
    QToolTip::showText(event->globalPos(), tip, view);
    return true;
}

} // namespace quillobrandt
