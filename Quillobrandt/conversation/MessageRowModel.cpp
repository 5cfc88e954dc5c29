// The message list's rows: what the delegate paints, and what accessibility and the tests read of them.
#include "Quillobrandt/conversation/MessageList.h"

namespace quillobrandt {

void MessageRowModel::setRows(std::vector<MessageRow> rows) {
    beginResetModel();
    rows_ = std::move(rows);
    endResetModel();
}

int MessageRowModel::rowOf(std::int64_t messageID) const {
    for (std::size_t i = 0; i < rows_.size(); ++i) {
        if (rows_[i].message.id == messageID) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

void MessageRowModel::setMarked(int row, bool marked) {
    if (row < 0 || row >= rowCount()) {
        return;
    }
    rows_[static_cast<std::size_t>(row)].marked = marked;
    emit dataChanged(index(row), index(row));
}

int MessageRowModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

QVariant MessageRowModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount()) {
        return {};
    }
    const MessageRow& row = rows_[static_cast<std::size_t>(index.row())];
    if (role == Qt::AccessibleDescriptionRole) {
        if (!row.showDelete || row.layout.empty) {
            return {};
        }
        return QString::fromUtf8(row.marked ? undoButtonName : deleteButtonName);
    }
    if (role != Qt::DisplayRole && role != Qt::AccessibleTextRole) {
        return {};
    }
    QString text;
    if (row.layout.empty) {
        text = QString();
    } else if (row.content.text) {
        text = *row.content.text;
    } else if (row.content.unsupported) {
        text = QString::fromUtf8(unsupportedTitle);
    }
    if (role == Qt::AccessibleTextRole && row.marked) {
        text += QStringLiteral(" (marked for deletion)");
    }
    return text;
}

} // namespace quillobrandt
