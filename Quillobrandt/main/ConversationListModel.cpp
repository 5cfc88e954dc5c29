#include "Quillobrandt/main/ConversationListModel.h"

#include <QApplication>
#include <QPainter>

#include "Quillobrandt/app/FocusRing.h"
#include "Quillobrandt/app/Style.h"
#include "Quillobrandt/app/SymbolIcon.h"
#include "platform/qt/EmojiText.h"

namespace quillobrandt {
namespace {

constexpr int kRowHeight = 44;
constexpr int kSymbolSize = 14;

QFont pixelFont(int size) {
    QFont font = QApplication::font();
    font.setPixelSize(size);
    return font;
}

} // namespace

void ConversationListModel::setRows(std::vector<ConversationRow> rows) {
    beginResetModel();
    rows_ = std::move(rows);
    endResetModel();
}

int ConversationListModel::rowOf(const std::string& id) const {
    for (std::size_t i = 0; i < rows_.size(); ++i) {
        if (rows_[i].id == id) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

int ConversationListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

QVariant ConversationListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= static_cast<int>(rows_.size())) {
        return {};
    }
    const ConversationRow& row = rows_[static_cast<std::size_t>(index.row())];
    switch (role) {
    case Qt::DisplayRole:
        return row.name;
    case IdRole:
        return QString::fromStdString(row.id);
    case DetailRole:
        return row.detail;
    case GroupRole:
        return row.isGroup;
    default:
        return {};
    }
}

void ConversationRowDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                                    const QModelIndex& index) const {
    painter->save();
    const bool selected = option.state.testFlag(QStyle::State_Selected);
    const QPalette& palette = option.palette;
    if (selected) {
        painter->fillRect(option.rect, palette.highlight());
    }
    const QColor primary = selected ? palette.highlightedText().color() : palette.windowText().color();
    const QColor background = selected ? palette.highlight().color() : palette.base().color();
    const QColor secondary = style::secondaryLabel(primary, background);
    // The row the keyboard is on, once the keyboard moves through the list (a click selects without a ring).
    if (option.state.testFlag(QStyle::State_HasFocus) && option.state.testFlag(QStyle::State_KeyboardFocusChange)) {
        const QColor ring = selected ? palette.highlightedText().color() : focusRingColour(palette, background);
        paintFocusRing(*painter, QRectF(option.rect).adjusted(2, 1, -2, -1), ring);
    }

    QRect area = option.rect.adjusted(10, 4, -10, -4);
    if (index.data(ConversationListModel::GroupRole).toBool()) {
        const QRect symbol(area.left(), area.center().y() - kSymbolSize / 2, kSymbolSize, kSymbolSize);
        paintSymbol(*painter, QRectF(symbol), QStringLiteral("person.3.fill"), secondary);
        area.setLeft(symbol.right() + 8);
    }
    const QFont body = pixelFont(13);
    const QFont caption = pixelFont(10);
    const int nameHeight = QFontMetrics(body).height();
    const QRect nameRect(area.left(), area.top(), area.width(), nameHeight);
    const QRect detailRect(area.left(), nameRect.bottom() + 4, area.width(), area.bottom() - nameRect.bottom() - 4);

    painter->setPen(primary);
    platform::drawElidedLine(*painter, QRectF(nameRect), index.data().toString(), body, Qt::AlignVCenter);
    painter->setPen(secondary);
    platform::drawElidedLine(*painter, QRectF(detailRect), index.data(ConversationListModel::DetailRole).toString(),
                             caption, Qt::AlignTop);
    painter->restore();
}

// No width of its own: the list stretches each row across itself, also once a vertical scroll bar narrows it (the
// width it had before was kept for every row and scrolled them sideways by the bar's width).
QSize ConversationRowDelegate::sizeHint(const QStyleOptionViewItem&, const QModelIndex&) const {
    return {1, kRowHeight};
}

} // namespace quillobrandt
