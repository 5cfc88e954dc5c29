// The header: title, source line, the toolbar outside edit mode and the edit controls in it.

#include "Quillobrandt/conversation/ConversationDisplayView.h"

#include <QCheckBox>
#include <QFocusEvent>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

#include "Quillobrandt/app/AppState.h"
#include "Quillobrandt/app/SymbolIcon.h"
#include "Quillobrandt/conversation/MessageList.h"
#include "Quillobrandt/conversation/TextContrast.h"

namespace quillobrandt {

namespace {

QFrame* verticalDivider(QWidget* parent) {
    auto* line = new QFrame(parent);
    line->setFrameShape(QFrame::VLine);
    line->setFixedHeight(24);
    return line;
}

// Toolbar symbols are 14 pixels beside 12-pixel titles.
constexpr int kToolbarSymbolSize = 14;

// Focus rings stand out from the window by at least this contrast ratio.
constexpr double kFocusRingContrast = 3.0;

// A borderless button of the toolbar. The style draws no focus for a flat button, so it draws its own
// ring while the keyboard (not a click) has put the focus here.
class ToolbarButton final : public QPushButton {
public:
    using QPushButton::QPushButton;

protected:
    void focusInEvent(QFocusEvent* event) override {
        keyboardFocus_ = event->reason() != Qt::MouseFocusReason;
        QPushButton::focusInEvent(event);
    }
    void focusOutEvent(QFocusEvent* event) override {
        keyboardFocus_ = false;
        QPushButton::focusOutEvent(event);
    }
    void paintEvent(QPaintEvent* event) override {
        QPushButton::paintEvent(event);
        if (!hasFocus() || !keyboardFocus_) {
            return;
        }
        const QColor window = palette().color(QPalette::Window);
        QColor ring = palette().color(QPalette::Highlight);
        if (contrastOver(ring, window, window) < kFocusRingContrast) {
            ring = palette().color(QPalette::WindowText); // a dark theme's highlight can sink into its window
        }
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(QPen(ring, 2));
        painter.setBrush(Qt::NoBrush);
        painter.drawRoundedRect(QRectF(rect()).adjusted(1, 1, -1, -1), 5, 5);
    }

private:
    bool keyboardFocus_ = false;
};

// A borderless toolbar button: its symbol, then its title; its object name is the control's tracking id.
QPushButton* toolbarButton(const QString& symbol, const QString& title, const QString& trackingId, QWidget* parent) {
    auto* button = new ToolbarButton(title, parent);
    setButtonSymbol(*button, symbol, kToolbarSymbolSize, SymbolInk::label);
    button->setFlat(true);
    button->setFont(ConversationStyle::font(12));
    button->setObjectName(trackingId);
    button->setProperty("trackingLabel", title);
    button->setAccessibleName(title);
    return button;
}

// The title: one line, cut with "…" when the sheet is narrower than the names, so a long title never
// widens the sheet. text() keeps the whole title, and so does the tooltip.
class TitleLabel final : public QLabel {
public:
    explicit TitleLabel(QWidget* parent) : QLabel(parent) { setProperty("elidesText", true); }

    QSize minimumSizeHint() const override { return {0, QLabel::minimumSizeHint().height()}; }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setPen(palette().color(foregroundRole()));
        painter.setFont(font());
        const QString shown = fontMetrics().elidedText(text(), Qt::ElideRight, contentsRect().width());
        painter.drawText(contentsRect(), Qt::AlignLeft | Qt::AlignVCenter, shown);
    }
};

} // namespace

// ---- header and toolbar ----

void ConversationDisplayView::buildHeader() {
    auto* header = new QWidget(this);
    auto* row = new QHBoxLayout(header);
    row->setContentsMargins(16, 12, 16, 12);
    row->setSpacing(16);

    auto* titleBlock = new QVBoxLayout();
    titleBlock->setSpacing(2);
    title_ = new TitleLabel(header);
    title_->setObjectName(QStringLiteral("conversation_title"));
    title_->setFont(ConversationStyle::font(13, true));
    titleBlock->addWidget(title_);
    auto* source = new QHBoxLayout();
    source->setSpacing(4);
    sourceSymbol_ = new SymbolIcon(QString(), 10, QColor(), header);
    sourceSymbol_->setObjectName(QStringLiteral("conversation_source_symbol"));
    sourceText_ = new QLabel(header);
    sourceText_->setObjectName(QStringLiteral("conversation_source"));
    sourceText_->setFont(ConversationStyle::font(10));
    source->addWidget(sourceSymbol_, 0, Qt::AlignVCenter);
    source->addWidget(sourceText_);
    source->addStretch();
    titleBlock->addLayout(source);
    row->addLayout(titleBlock);
    row->addStretch();

    toolbar_ = new QWidget(header);
    auto* tools = new QHBoxLayout(toolbar_);
    tools->setContentsMargins(0, 0, 0, 0);
    tools->setSpacing(12);
    showMediaBox_ = new QCheckBox(QStringLiteral("Show Media"), toolbar_);
    showMediaBox_->setObjectName(QStringLiteral("show_media"));
    showMediaBox_->setFont(ConversationStyle::font(12));
    setButtonSymbol(*showMediaBox_, QStringLiteral("photo"), kToolbarSymbolSize, SymbolInk::label);
    showMediaBox_->setChecked(model_.showMedia());
    connect(showMediaBox_, &QCheckBox::toggled, this, &ConversationDisplayView::setShowMedia);
    tools->addWidget(showMediaBox_);
    tools->addWidget(verticalDivider(toolbar_));
    auto* editName =
        toolbarButton(QStringLiteral("tag"), QStringLiteral("Edit Name"), QStringLiteral("edit_name"), toolbar_);
    connect(editName, &QPushButton::clicked, this, &ConversationDisplayView::editParticipantNames);
    auto* editMessages = toolbarButton(QStringLiteral("pencil"), QStringLiteral("Edit Messages"),
                                       QStringLiteral("edit_messages"), toolbar_);
    connect(editMessages, &QPushButton::clicked, this, &ConversationDisplayView::enterEditMode);
    tools->addWidget(editName);
    tools->addWidget(editMessages);
    tools->addWidget(verticalDivider(toolbar_));
    auto* csv = toolbarButton(QStringLiteral("arrow.down.doc"), QStringLiteral("Export CSV"),
                              QStringLiteral("export_csv"), toolbar_);
    connect(csv, &QPushButton::clicked, this, &ConversationDisplayView::presentCSVPanel);
    auto* pdf =
        toolbarButton(QStringLiteral("doc.text"), QStringLiteral("Export PDF"), QStringLiteral("export_pdf"), toolbar_);
    connect(pdf, &QPushButton::clicked, this, &ConversationDisplayView::exportPDF);
    tools->addWidget(csv);
    tools->addWidget(pdf);
    row->addWidget(toolbar_);

    editControls_ = new QWidget(header);
    auto* editColumn = new QVBoxLayout(editControls_);
    editColumn->setContentsMargins(0, 0, 0, 0);
    editColumn->setSpacing(4);
    auto* editRow = new QHBoxLayout();
    editRow->setSpacing(8);
    const auto editButton = [&](const QString& title, const QString& id, const QString& label) {
        auto* button = new QPushButton(title, editControls_);
        button->setObjectName(id);
        button->setProperty("trackingLabel", label);
        editRow->addWidget(button);
        editButtons_ << button;
        return button;
    };
    connect(editButton(QStringLiteral("Cancel"), QStringLiteral("edit_cancel"), QStringLiteral("Cancel Edit")),
            &QPushButton::clicked, this, &ConversationDisplayView::cancelEdit);
    applyButton_ =
        editButton(QStringLiteral("Apply Changes"), QStringLiteral("edit_apply"), QStringLiteral("Apply Changes"));
    connect(applyButton_, &QPushButton::clicked, this, &ConversationDisplayView::applyChanges);
    auto* save =
        editButton(QStringLiteral("Save Copy..."), QStringLiteral("edit_save_copy"), QStringLiteral("Save Copy"));
    saveCopyButton_ = save;
    save->setDefault(true);
    connect(save, &QPushButton::clicked, this, &ConversationDisplayView::presentSaveCopyPanel);
    // While a copy is being written: a busy bar beside the (disabled) buttons.
    auto* busy = new QProgressBar(editControls_);
    busy->setObjectName(QStringLiteral("saving_indicator"));
    busy->setRange(0, 0);
    busy->setTextVisible(false);
    busy->setFixedSize(64, 6);
    busy->setAccessibleName(QStringLiteral("Saving copy"));
    busy->setToolTip(QStringLiteral("Saving copy..."));
    busy->hide();
    savingIndicator_ = busy;
    editRow->addWidget(busy, 0, Qt::AlignVCenter);
    editColumn->addLayout(editRow);
    auto* hint = new QLabel(QStringLiteral("Apply = session only • Save Copy = new database file"), editControls_);
    hint->setFont(ConversationStyle::font(10));
    hint->setAlignment(Qt::AlignCenter);
    editColumn->addWidget(hint);
    editControls_->hide();
    row->addWidget(editControls_);

    auto* close = new SymbolButton(QStringLiteral("xmark.circle.fill"), 18, SymbolInk::secondaryLabel,
                                   QStringLiteral("Close Conversation"), header);
    close->setObjectName(QStringLiteral("close_conversation"));
    close->setProperty("trackingLabel", QStringLiteral("Close Conversation"));
    connect(close, &QPushButton::clicked, this, &ConversationDisplayView::closeConversation);
    row->addWidget(close);
    layout()->addWidget(header);
}

void ConversationDisplayView::refreshHeader() {
    title_->setText(participantNames());
    title_->setToolTip(title_->text());
    const SourceLine line = sourceLineFor(appState_->databaseURL());
    const QColor text = palette().color(QPalette::WindowText);
    QColor colour = ConversationStyle::secondary(text);
    if (line.kind == SourceKind::macMessages) {
        colour = ConversationStyle::orange();
    } else if (line.kind == SourceKind::editable) {
        colour = ConversationStyle::green();
    }
    sourceSymbol_->setName(line.symbol);
    sourceSymbol_->setColour(colour);
    sourceText_->setText(line.text);
    // Hide one before showing the other: both at once, even for a moment, would make the header ask
    // for their summed width and push the sheet wider each time edit mode ends.
    QWidget* shown = model_.isEditMode() ? editControls_ : toolbar_;
    QWidget* hidden = model_.isEditMode() ? toolbar_ : editControls_;
    hidden->setVisible(false);
    shown->setVisible(true);
    for (auto* button : editButtons_) {
        button->setEnabled(!saving_);
    }
    // How many messages the two buttons would take out, so nothing goes unseen.
    const int marked = model_.markedCount();
    const QString count = marked > 0 ? QStringLiteral(" (%1)").arg(marked) : QString();
    applyButton_->setText(QStringLiteral("Apply Changes") + count);
    saveCopyButton_->setText(QStringLiteral("Save Copy") + count + QStringLiteral("..."));
    savingIndicator_->setVisible(saving_);
}

} // namespace quillobrandt
