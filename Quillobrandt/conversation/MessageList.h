#pragma once

#include <QAbstractListModel>
#include <QCache>
#include <QImage>
#include <QRectF>
#include <QStyledItemDelegate>

#include <vector>

#include "Quillobrandt/conversation/ConversationViewModel.h"
#include "Quillobrandt/conversation/MessageBubble.h"

namespace quillobrandt {

// What a row's button in edit mode is called (its tooltip and its accessible description): the trash button
// of a message, the undo button of a marked one.
inline constexpr const char* deleteButtonName = "Delete Message";
// The list's padding: bubbles keep it from the sides, the first row from the top.
inline constexpr qreal messageListPadding = 12;
inline constexpr const char* undoButtonName = "Undo Delete";

// One row of the message list: an optional day header, then the bubble (none for a reaction marker).
struct MessageRow {
    Message message;
    MessageRowLayout layout;
    BubbleContent content;
    bool showDelete = false;
    bool marked = false; // marked for deletion in edit mode: dimmed, struck through, its button undoes it
    // Empty space above or below the row: the list's padding above the first row, and room below the last one
    // for the jump buttons that float over the list's lower end, so the newest message clears them.
    qreal marginAbove = 0;
    qreal marginBelow = 0;
    // Room kept free at the trailing side, beyond the list's padding: the jump buttons' column, which rows scroll
    // past, so that no sent bubble or time ever passes under the buttons.
    qreal marginTrailing = 0;
};

// The displayed window as rows. Rebuilt as a whole whenever the window, the filter, edit mode or the
// naming and theme inputs change; the delegate paints rows on demand.
class MessageRowModel final : public QAbstractListModel {
    Q_OBJECT
public:
    using QAbstractListModel::QAbstractListModel;

    void setRows(std::vector<MessageRow> rows);
    const MessageRow& rowAt(int row) const { return rows_.at(static_cast<std::size_t>(row)); }
    int rowOf(std::int64_t messageID) const; // -1 when not shown
    // Redraws one row marked or not, without rebuilding the others.
    void setMarked(int row, bool marked);

    int rowCount(const QModelIndex& parent = {}) const override;
    // DisplayRole: the text a reader would see (bubble text or placeholder), for accessibility and tests;
    // AccessibleTextRole the same, said to be marked where it is; AccessibleDescriptionRole the name of the
    // row's button in edit mode.
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;

private:
    std::vector<MessageRow> rows_;
};

// Geometry of one painted row, from its width; shared by sizeHint, paint and clicks.
struct MessageRowGeometry {
    QRectF header;
    QRectF senderName;
    QRectF textBubble;
    QRectF textArea;
    std::vector<QRectF> pictures;
    QRectF attachmentList;
    // Each file name's line in the list, and its text as drawn: cut in the middle where the list is too narrow.
    std::vector<QRectF> attachmentLines;
    std::vector<QString> attachmentTexts;
    QRectF unsupported;
    QRectF time;
    QRectF deleteButton;
    qreal height = 0;
};
MessageRowGeometry layoutMessageRow(const MessageRow& row, qreal width);

// Paints rows of MessageRowModel; a press on a row's trash button emits deleteRequested, on a marked
// row's undo button restoreRequested.
class MessageRowDelegate final : public QStyledItemDelegate {
    Q_OBJECT
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    bool editorEvent(QEvent* event, QAbstractItemModel* model, const QStyleOptionViewItem& option,
                     const QModelIndex& index) override;
    // A file name drawn cut short shows whole in a tooltip; a row's button shows its name.
    bool helpEvent(QHelpEvent* event, QAbstractItemView* view, const QStyleOptionViewItem& option,
                   const QModelIndex& index) override;

signals:
    void deleteRequested(int row);
    void restoreRequested(int row);

private:
    static qreal rowWidth(const QStyleOptionViewItem& option);
    QImage picture(const QString& path, QSize size) const;
    mutable QCache<QString, QImage> pictures_{64};
};

} // namespace quillobrandt
