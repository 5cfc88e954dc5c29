// The conversation view's wiring: construction, the sheet it opens in, naming and closing. Each concern
// of the view lives in a file of its own beside this one (see the class comment).

#include "Quillobrandt/conversation/ConversationDisplayView.h"

#include <QDialog>
#include <QFrame>
#include <QKeyEvent>
#include <QVBoxLayout>

#include <sys/stat.h>

#include "Corvantesk/qt/ViewTagging.h"
#include "Quillobrandt/app/AppState.h"
#include "Quillobrandt/app/ScreenFit.h"
#include "Quillobrandt/conversation/ParticipantLabelsView.h"

namespace quillobrandt {

namespace {

QFrame* horizontalDivider(QWidget* parent) {
    auto* line = new QFrame(parent);
    line->setFrameShape(QFrame::HLine);
    return line;
}

// The conversation sheet: Escape must not close it.
class ConversationSheet final : public QDialog {
public:
    using QDialog::QDialog;

protected:
    void keyPressEvent(QKeyEvent* event) override {
        if (event->key() == Qt::Key_Escape) {
            event->accept();
            return;
        }
        QDialog::keyPressEvent(event);
    }
};

// The designed sizes, bounded by the screen's free area less the frame, placed over `parent` with its title bar in
// that area. The message list takes what is left.
void fitSheetToScreen(QDialog& sheet, const QWidget* parent) {
    const QRect available = availableScreenArea(parent != nullptr ? *parent : sheet);
    const QSize frame = frameExtent(sheet);
    sheet.setMinimumSize(fitContentToScreen(QSize(875, 750), QSize(), frame, available));
    sheet.setMaximumSize(fitContentToScreen(QSize(1750, 1500), QSize(), frame, available));
    sheet.resize(fitContentToScreen(QSize(1125, 1000), QSize(), frame, available));
    if (parent != nullptr) {
        QRect placed(QPoint(), sheet.size() + frame);
        placed.moveCenter(parent->window()->frameGeometry().center());
        sheet.move(keepFrameOnScreen(placed, available).topLeft());
    }
}

} // namespace

ConversationDisplayView::ConversationDisplayView(const Conversation& conversation, AppState* appState, QWidget* parent,
                                                 GoogleAnalyticsManager* analytics)
    : ConversationDisplayView(std::make_shared<const Conversation>(conversation), appState, parent, analytics) {}

ConversationDisplayView::ConversationDisplayView(std::shared_ptr<const Conversation> conversation, AppState* appState,
                                                 QWidget* parent, GoogleAnalyticsManager* analytics)
    : QWidget(parent), appState_(appState), analytics_(analytics), model_(std::move(conversation)) {
    // The copy is made from the database these messages came from, whatever is loaded later.
    source_ = appState_->databaseURL();
    if (source_) {
        struct stat st {};
        if (::stat(source_->c_str(), &st) == 0) {
            sourceIdentity_ =
                std::make_pair(static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino));
        }
    }
    setObjectName(QStringLiteral("ConversationView"));
    corvantesk::trackScreen(this, QStringLiteral("ConversationView"));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    buildHeader();
    layout->addWidget(horizontalDivider(this));
    buildFilterRow();
    layout->addWidget(horizontalDivider(this));
    buildMessageArea();

    connect(appState_, &AppState::participantLabelsChanged, this, [this] {
        refreshHeader();
        refreshList();
    });
    // Contact names come and go with the Preferences answer: gone at once, back once the main window has
    // matched the address book again.
    for (const auto contactsChanged : {&AppState::contactCacheReset, &AppState::contactCacheBuilt}) {
        connect(appState_, contactsChanged, this, [this] {
            refreshHeader();
            refreshList();
        });
    }
    connect(appState_, &AppState::hasContactsAccessChanged, this, [this] {
        refreshHeader();
        refreshList();
    });
    connect(appState_, &AppState::databaseURLChanged, this, &ConversationDisplayView::refreshHeader);
    connect(appState_, &AppState::appThemeChanged, this, &ConversationDisplayView::refreshList);
    connect(appState_, &AppState::isIPhoneBackupChanged, this, &ConversationDisplayView::refreshList);

    refreshHeader();
    showNewestWindow();
}

// A running save belongs to the application state's saver, so closing waits for nothing.
ConversationDisplayView::~ConversationDisplayView() = default;

QDialog* ConversationDisplayView::openAsSheet(const Conversation& conversation, AppState* appState, QWidget* parent) {
    return openAsSheet(std::make_shared<const Conversation>(conversation), appState, parent);
}

QDialog* ConversationDisplayView::openAsSheet(std::shared_ptr<const Conversation> conversation, AppState* appState,
                                              QWidget* parent) {
    auto* sheet = new ConversationSheet(parent);
    sheet->setAttribute(Qt::WA_DeleteOnClose);
    sheet->setWindowModality(Qt::WindowModal);
    sheet->setWindowTitle(QStringLiteral("Quillobrandt"));
    auto* layout = new QVBoxLayout(sheet);
    layout->setContentsMargins(0, 0, 0, 0);
    auto* view = new ConversationDisplayView(std::move(conversation), appState, sheet);
    layout->addWidget(view);
    connect(view, &ConversationDisplayView::closeRequested, sheet, &QDialog::accept);
    fitSheetToScreen(*sheet, parent);
    sheet->open();
    // Again with the frame the window manager has now given the window.
    fitSheetToScreen(*sheet, parent);
    return sheet;
}

// ---- naming ----

ParticipantNamer ConversationDisplayView::namer() const {
    return participantNamerFor(*appState_, model_.conversation().participants);
}

QString ConversationDisplayView::displayName(const QString& handle) const {
    return namer()(handle);
}

QString ConversationDisplayView::participantNames() const {
    return participantNamesTitle(model_.conversation().participants, namer());
}

void ConversationDisplayView::editParticipantNames() {
    ParticipantLabelsView::openAsSheet(model_.conversation().participants, appState_, this);
}

void ConversationDisplayView::closeConversation() {
    emit closeRequested();
}

} // namespace quillobrandt
