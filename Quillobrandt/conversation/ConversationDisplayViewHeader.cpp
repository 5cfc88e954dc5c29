// The header: title, source line, the toolbar outside edit mode and the edit controls in it.

#include "Quillobrandt/conversation/ConversationDisplayView.h"

#include <QAction>
#include <QApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QListView>
#include <QProgressBar>
#include <QVBoxLayout>

#include "Quillobrandt/app/AppState.h"
#include "Quillobrandt/app/ButtonSpinner.h"
#include "Quillobrandt/app/FocusRing.h"
#include "Quillobrandt/app/SymbolIcon.h"
#include "Quillobrandt/conversation/HeaderBar.h"
#include "Quillobrandt/conversation/MessageList.h"
#include "Quillobrandt/conversation/Toolbar.h"

namespace quillobrandt {

namespace {

// Toolbar symbols are 14 pixels beside 12-pixel titles.
constexpr int kToolbarSymbolSize = 14;

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

} // namespace

// ---- header and toolbar ----

void ConversationDisplayView::buildHeader() {
    auto* header = new HeaderBar(this);
    header->setObjectName(QStringLiteral("conversation_header"));

    auto* titleWidget = new QWidget(header);
    auto* titleBlock = new QVBoxLayout(titleWidget);
    titleBlock->setContentsMargins(0, 0, 0, 0);
    titleBlock->setSpacing(2);
    title_ = new TitleLabel(titleWidget);
    title_->setObjectName(QStringLiteral("conversation_title"));
    title_->setFont(ConversationStyle::font(13, true));
    titleBlock->addWidget(title_);
    auto* source = new QHBoxLayout();
    source->setSpacing(4);
    sourceSymbol_ = new SymbolIcon(QString(), 10, QColor(), titleWidget);
    sourceSymbol_->setObjectName(QStringLiteral("conversation_source_symbol"));
    sourceText_ = new QLabel(titleWidget);
    sourceText_->setObjectName(QStringLiteral("conversation_source"));
    sourceText_->setFont(ConversationStyle::font(10));
    source->addWidget(sourceSymbol_, 0, Qt::AlignVCenter);
    source->addWidget(sourceText_);
    source->addStretch();
    titleBlock->addLayout(source);

    auto* controls = new QWidget(header);
    auto* controlsRow = new QHBoxLayout(controls);
    controlsRow->setContentsMargins(0, 0, 0, 0);
    toolbar_ = new Toolbar(controls);
    auto* tools = new QHBoxLayout(toolbar_);
    tools->setContentsMargins(0, 0, 0, 0);
    tools->setSpacing(12);
    showMediaBox_ = new ToolbarCheckBox(QStringLiteral("Show Media"), toolbar_);
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
    csvButton_ = csv;
    csvSpinner_ = new ButtonSpinner(csv, kToolbarSymbolSize);
    auto* pdf =
        toolbarButton(QStringLiteral("doc.text"), QStringLiteral("Export PDF"), QStringLiteral("export_pdf"), toolbar_);
    connect(pdf, &QPushButton::clicked, this, &ConversationDisplayView::exportPDF);
    tools->addWidget(csv);
    tools->addWidget(pdf);
    controlsRow->addWidget(toolbar_);

    editControls_ = new QWidget(controls);
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
    makeDefaultButton(*save);
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
    controlsRow->addWidget(editControls_);

    auto* close = new SymbolButton(QStringLiteral("xmark.circle.fill"), 18, SymbolInk::secondaryLabel,
                                   QStringLiteral("Close Conversation"), header);
    close->setObjectName(QStringLiteral("close_conversation"));
    close->setProperty("trackingLabel", QStringLiteral("Close Conversation"));
    connect(close, &QPushButton::clicked, this, &ConversationDisplayView::closeConversation);
    header->setParts(titleWidget, controls, close);

    // Ctrl+Z in edit mode takes back the latest mark, wherever the focus is in the view.
    undoMark_ = new QAction(QString::fromUtf8(undoButtonName), this);
    undoMark_->setShortcut(QKeySequence::Undo);
    undoMark_->setShortcutContext(Qt::WidgetWithChildrenShortcut);
    undoMark_->setEnabled(false);
    connect(undoMark_, &QAction::triggered, this, &ConversationDisplayView::undoLatestMark);
    addAction(undoMark_);
    layout()->addWidget(header);
}

void ConversationDisplayView::refreshHeader() {
    title_->setText(participantNames());
    title_->setToolTip(title_->text());
    const SourceLine line = sourceLineFor(appState_->databaseURL());
    QColor colour = ConversationStyle::secondary(palette());
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
    // A button pressed from the keyboard hides with its row; Qt would hand the focus to the next control along,
    // the close button, so a second Space would close the conversation. It goes where the work goes on instead:
    // the messages to mark, or back to Edit Messages.
    const bool focusLeaves = hidden->isVisible() && hidden->isAncestorOf(QApplication::focusWidget());
    hidden->setVisible(false);
    shown->setVisible(true);
    if (focusLeaves) {
        QWidget* next = model_.isEditMode() && list_->isVisible()
                            ? static_cast<QWidget*>(list_)
                            : shown->findChild<QPushButton*>(model_.isEditMode() ? QStringLiteral("edit_cancel")
                                                                                 : QStringLiteral("edit_messages"));
        if (next != nullptr) {
            next->setFocus(Qt::OtherFocusReason);
        }
    }
    for (auto* button : editButtons_) {
        // Cancel stays: while a copy is being saved, it stops the save.
        button->setEnabled(!saving_ || button->objectName() == QLatin1String("edit_cancel"));
    }
    // How many messages the two buttons would take out, so nothing goes unseen.
    const int marked = model_.markedCount();
    const QString count = marked > 0 ? QStringLiteral(" (%1)").arg(marked) : QString();
    applyButton_->setText(QStringLiteral("Apply Changes") + count);
    saveCopyButton_->setText(QStringLiteral("Save Copy") + count + QStringLiteral("..."));
    savingIndicator_->setVisible(saving_);
    // While a CSV export is written: its button spins and takes no second export.
    csvButton_->setEnabled(!exportingCsv_);
    if (exportingCsv_) {
        csvSpinner_->start();
    } else {
        csvSpinner_->stop();
    }
    undoMark_->setEnabled(marked > 0 && !saving_);
}

} // namespace quillobrandt
