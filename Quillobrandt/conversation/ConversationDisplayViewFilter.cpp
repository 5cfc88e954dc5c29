// The filter row ("Filter by Date" and its range) and the "Show Media" switch: what reaches the list.

#include "Quillobrandt/conversation/ConversationDisplayView.h"

#include <QCheckBox>
#include <QDateEdit>
#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

#include "Quillobrandt/app/SymbolIcon.h"
#include "Quillobrandt/conversation/MessageList.h"

namespace quillobrandt {

// ---- filter row ----

void ConversationDisplayView::buildFilterRow() {
    auto* row = new QWidget(this);
    row->setAutoFillBackground(true);
    QPalette pal = row->palette();
    QColor base = pal.color(QPalette::Base);
    base.setAlphaF(0.3f);
    pal.setColor(QPalette::Window, base);
    row->setPalette(pal);
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(16, 8, 16, 8);
    layout->setSpacing(12);
    dateFilterBox_ = new QCheckBox(QStringLiteral("Filter by Date"), row);
    dateFilterBox_->setObjectName(QStringLiteral("filter_by_date"));
    dateFilterBox_->setFont(ConversationStyle::font(12));
    setButtonSymbol(*dateFilterBox_, QStringLiteral("calendar"), 12, SymbolInk::label);
    connect(dateFilterBox_, &QCheckBox::toggled, this, &ConversationDisplayView::setEnableDateFilter);
    layout->addWidget(dateFilterBox_);

    dateFields_ = new QWidget(row);
    auto* fields = new QHBoxLayout(dateFields_);
    fields->setContentsMargins(0, 0, 0, 0);
    fields->setSpacing(12);
    const auto caption = [&](const QString& text) {
        auto* label = new QLabel(text, dateFields_);
        label->setFont(ConversationStyle::font(12));
        fields->addWidget(label);
    };
    const auto dateEdit = [&](QDate date, const QString& name) {
        auto* edit = new QDateEdit(date, dateFields_);
        edit->setObjectName(name);
        edit->setCalendarPopup(true);
        edit->setLocale(QLocale::c());
        edit->setDisplayFormat(QStringLiteral("MMM d, yyyy"));
        fields->addWidget(edit);
        connect(edit, &QDateEdit::dateChanged, this, [this] { setDateRange(startEdit_->date(), endEdit_->date()); });
        return edit;
    };
    caption(QStringLiteral("From:"));
    startEdit_ = dateEdit(model_.startDate(), QStringLiteral("start_date"));
    caption(QStringLiteral("To:"));
    endEdit_ = dateEdit(model_.endDate(), QStringLiteral("end_date"));
    dateFields_->hide();
    layout->addWidget(dateFields_);
    layout->addStretch();
    static_cast<QVBoxLayout*>(this->layout())->addWidget(row);
}

void ConversationDisplayView::refilter() {
    model_.updateFilteredMessages();
    refreshList();
}

void ConversationDisplayView::setShowMedia(bool value) {
    if (value == model_.showMedia()) {
        return;
    }
    model_.setShowMedia(value);
    showMediaBox_->setChecked(value);
    refilter();
}

void ConversationDisplayView::setEnableDateFilter(bool value) {
    if (value == model_.enableDateFilter()) {
        return;
    }
    model_.setEnableDateFilter(value);
    dateFilterBox_->setChecked(value);
    dateFields_->setVisible(value);
    refilter();
}

void ConversationDisplayView::setDateRange(QDate start, QDate end) {
    if (start == model_.startDate() && end == model_.endDate()) {
        return;
    }
    model_.setStartDate(start);
    model_.setEndDate(end);
    {
        const QSignalBlocker blockStart(startEdit_);
        const QSignalBlocker blockEnd(endEdit_);
        startEdit_->setDate(start);
        endEdit_->setDate(end);
    }
    if (model_.dateFilterChanged()) {
        refreshList();
    }
}

} // namespace quillobrandt
