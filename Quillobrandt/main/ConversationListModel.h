#pragma once

#include <QAbstractListModel>
#include <QStyledItemDelegate>

#include <string>
#include <vector>

namespace quillobrandt {

// One painted row of the conversation list.
struct ConversationRow {
    std::string id;
    QString name;
    QString detail; // first handle id and message count
    bool isGroup = false;
};

// The filtered, sorted rows the list shows; rebuilt whole whenever the list changes.
class ConversationListModel final : public QAbstractListModel {
    Q_OBJECT
public:
    enum Role { IdRole = Qt::UserRole + 1, DetailRole, GroupRole };

    using QAbstractListModel::QAbstractListModel;

    void setRows(std::vector<ConversationRow> rows);
    const std::vector<ConversationRow>& rows() const { return rows_; }
    // The row of the conversation with this id, or -1.
    int rowOf(const std::string& id) const;

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;

private:
    std::vector<ConversationRow> rows_;
};

// Paints a row: the group symbol, the name over the detail line.
class ConversationRowDelegate final : public QStyledItemDelegate {
    Q_OBJECT
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
};

} // namespace quillobrandt
