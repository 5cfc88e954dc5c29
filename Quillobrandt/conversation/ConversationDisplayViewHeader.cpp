// The header: title, source line, the toolbar outside edit mode and the edit controls in it.

#include "Quillobrandt/conversation/ConversationDisplayView.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QFocusEvent>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QListView>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QStyleOptionButton>
#include <QStylePainter>
#include <QVBoxLayout>

#include "Quillobrandt/app/AppState.h"
#include "Quillobrandt/app/SymbolIcon.h"
#include "Quillobrandt/app/TextContrast.h"
#include "Quillobrandt/conversation/MessageList.h"

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

// Draws the keyboard focus ring of a borderless control: the style draws none for a flat button.
void paintFocusRing(QWidget& control) {
    const QColor window = control.palette().color(QPalette::Window);
    QColor ring = control.palette().color(QPalette::Highlight);
    if (contrastOver(ring, window, window) < kFocusRingContrast) {
        ring = control.palette().color(QPalette::WindowText); // a dark theme's highlight can sink into its window
    }
    QPainter painter(&control);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(ring, 2));
    painter.setBrush(Qt::NoBrush);
    painter.drawRoundedRect(QRectF(control.rect()).adjusted(1, 1, -1, -1), 5, 5);
}

// A control of the toolbar: its symbol and its title, or, while the toolbar is short of room (a small or
// scaled screen), its symbol alone with the title as its tooltip. The title stays its text and accessible name.
class CompactableControl {
public:
    virtual ~CompactableControl() = default;
    virtual void setCompact(bool compact) = 0;
    virtual QSize fullSizeHint() const = 0;
    virtual QSize symbolOnlySizeHint() const = 0;
};

// `Flat` controls draw their own focus ring while the keyboard (not a click) put the focus there.
template <typename Button, QStyle::ContentsType contents, QStyle::ControlElement element, bool flat>
class ToolbarControl final : public Button, public CompactableControl {
public:
    using Button::Button;

    void setCompact(bool compact) override {
        if (compact == compact_) {
            return;
        }
        compact_ = compact;
        this->setProperty("compact", compact);
        this->setToolTip(compact ? this->text() : QString());
        this->updateGeometry();
        this->update();
    }
    QSize fullSizeHint() const override { return Button::sizeHint(); }
    QSize symbolOnlySizeHint() const override {
        QStyleOptionButton option;
        this->initStyleOption(&option);
        option.text.clear();
        const QSize symbol = this->iconSize();
        const QSize inside(symbol.width(), std::max(symbol.height(), this->fontMetrics().height()));
        return this->style()->sizeFromContents(contents, &option, inside, this);
    }
    QSize sizeHint() const override { return compact_ ? symbolOnlySizeHint() : Button::sizeHint(); }
    QSize minimumSizeHint() const override { return sizeHint(); }

protected:
    void focusInEvent(QFocusEvent* event) override {
        keyboardFocus_ = event->reason() != Qt::MouseFocusReason;
        Button::focusInEvent(event);
    }
    void focusOutEvent(QFocusEvent* event) override {
        keyboardFocus_ = false;
        Button::focusOutEvent(event);
    }
    void paintEvent(QPaintEvent*) override {
        {
            QStylePainter painter(this);
            QStyleOptionButton option;
            this->initStyleOption(&option);
            if (compact_) {
                option.text.clear();
            }
            painter.drawControl(element, option);
        }
        if (flat && this->hasFocus() && keyboardFocus_) {
            paintFocusRing(*this);
        }
    }

private:
    bool compact_ = false;
    bool keyboardFocus_ = false;
};

using ToolbarButton = ToolbarControl<QPushButton, QStyle::CT_PushButton, QStyle::CE_PushButton, true>;
using ToolbarCheckBox = ToolbarControl<QCheckBox, QStyle::CT_CheckBox, QStyle::CE_CheckBox, false>;

// The toolbar's row of controls. It asks for room for every title, and makes do with the symbols alone (its
// minimum) when given less.
class Toolbar final : public QWidget {
public:
    using QWidget::QWidget;

    QSize sizeHint() const override { return measure(true); }
    QSize minimumSizeHint() const override { return measure(false); }

protected:
    void resizeEvent(QResizeEvent* event) override {
        const bool compact = width() < sizeHint().width();
        for (QObject* child : children()) {
            if (auto* control = dynamic_cast<CompactableControl*>(child)) {
                control->setCompact(compact);
            }
        }
        QWidget::resizeEvent(event);
    }

private:
    QSize measure(bool withTitles) const {
        const QLayout* row = layout();
        int width = 0;
        int height = 0;
        int shown = 0;
        for (int i = 0; i < row->count(); ++i) {
            const QWidget* part = row->itemAt(i)->widget();
            if (part == nullptr || part->isHidden()) {
                continue;
            }
            QSize size = part->sizeHint();
            if (const auto* control = dynamic_cast<const CompactableControl*>(part)) {
                size = withTitles ? control->fullSizeHint() : control->symbolOnlySizeHint();
            }
            width += size.width();
            height = std::max(height, size.height());
            ++shown;
        }
        const QMargins margins = row->contentsMargins();
        return {width + row->spacing() * std::max(0, shown - 1) + margins.left() + margins.right(),
                height + margins.top() + margins.bottom()};
    }
};

// The header: the title block, the controls (toolbar or edit controls) and the close button on one line where
// the sheet has room for them; else the controls on a second line under the title and the close button.
class HeaderBar final : public QWidget {
public:
    using QWidget::QWidget;

    void setParts(QWidget* title, QWidget* controls, QWidget* close) {
        title_ = title;
        controls_ = controls;
        close_ = close;
    }
    QSize sizeHint() const override {
        return {oneLineWidth() - title_->minimumSizeHint().width() + title_->sizeHint().width(),
                heightForWidth(oneLineWidth())};
    }
    QSize minimumSizeHint() const override {
        const int top = title_->minimumSizeHint().width() + kSpacing + close_->sizeHint().width();
        // As low as one line: how tall it is depends on the width it gets (heightForWidth).
        return {kMargins.left() + kMargins.right() + std::max(top, controls_->minimumSizeHint().width()),
                heightForWidth(oneLineWidth())};
    }
    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override {
        const int titleLine = std::max(title_->sizeHint().height(), close_->sizeHint().height());
        const int lines = fitsOneLine(width) ? std::max(titleLine, controls_->sizeHint().height())
                                             : titleLine + kLineSpacing + controls_->sizeHint().height();
        return kMargins.top() + lines + kMargins.bottom();
    }

protected:
    bool event(QEvent* event) override {
        if (event->type() == QEvent::LayoutRequest) {
            updateGeometry(); // the controls changed (edit mode, a count on a button): the view lays out anew
            arrange();
        }
        return QWidget::event(event);
    }
    void resizeEvent(QResizeEvent* event) override {
        arrange();
        QWidget::resizeEvent(event);
    }

private:
    static constexpr QMargins kMargins{16, 12, 16, 12};
    static constexpr int kSpacing = 16;
    static constexpr int kLineSpacing = 8;

    int oneLineWidth() const {
        return kMargins.left() + title_->minimumSizeHint().width() + kSpacing + controls_->sizeHint().width() +
               kSpacing + close_->sizeHint().width() + kMargins.right();
    }
    bool fitsOneLine(int width) const { return width >= oneLineWidth(); }

    void arrange() {
        if (title_ == nullptr) {
            return;
        }
        const QRect inside = rect().marginsRemoved(kMargins);
        const QSize close = close_->sizeHint();
        // Every title where they fit, else the controls as tight as they go (the toolbar's symbols alone).
        QSize controls = controls_->sizeHint();
        if (controls.width() > inside.width()) {
            controls.setWidth(controls_->minimumSizeHint().width());
        }
        const auto centredOn = [](const QRect& line, QSize size, int right) {
            return QRect(QPoint(right - size.width(), line.top() + (line.height() - size.height()) / 2), size);
        };
        const int titleHeight = std::min(title_->sizeHint().height(), inside.height());
        if (fitsOneLine(width())) {
            const QRect closeRect = centredOn(inside, close, inside.right() + 1);
            const QRect controlsRect = centredOn(inside, controls, closeRect.left() - kSpacing);
            close_->setGeometry(closeRect);
            controls_->setGeometry(controlsRect);
            title_->setGeometry(QRect(inside.left(), inside.top() + (inside.height() - titleHeight) / 2,
                                      controlsRect.left() - kSpacing - inside.left(), titleHeight));
            return;
        }
        const QRect top(inside.topLeft(), QSize(inside.width(), std::max(titleHeight, close.height())));
        const QRect closeRect = centredOn(top, close, top.right() + 1);
        close_->setGeometry(closeRect);
        title_->setGeometry(QRect(top.left(), top.top() + (top.height() - titleHeight) / 2,
                                  closeRect.left() - kSpacing - top.left(), titleHeight));
        const QRect second(QPoint(inside.left(), top.bottom() + 1 + kLineSpacing),
                           QPoint(inside.right(), inside.bottom()));
        controls_->setGeometry(centredOn(second, controls, second.right() + 1));
    }

    QWidget* title_ = nullptr;
    QWidget* controls_ = nullptr;
    QWidget* close_ = nullptr;
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
        button->setEnabled(!saving_);
    }
    // How many messages the two buttons would take out, so nothing goes unseen.
    const int marked = model_.markedCount();
    const QString count = marked > 0 ? QStringLiteral(" (%1)").arg(marked) : QString();
    applyButton_->setText(QStringLiteral("Apply Changes") + count);
    saveCopyButton_->setText(QStringLiteral("Save Copy") + count + QStringLiteral("..."));
    savingIndicator_->setVisible(saving_);
    undoMark_->setEnabled(marked > 0 && !saving_);
}

} // namespace quillobrandt
