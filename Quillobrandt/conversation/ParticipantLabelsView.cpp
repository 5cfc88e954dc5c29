#include "Quillobrandt/conversation/ParticipantLabelsView.h"

#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "Quillobrandt/app/AppState.h"
#include "Quillobrandt/app/FocusRing.h"
#include "Quillobrandt/conversation/MessageBubble.h"

namespace quillobrandt {

ParticipantLabelsView::ParticipantLabelsView(std::vector<std::string> participants, AppState* appState, QWidget* parent)
    : QDialog(parent), participants_(std::move(participants)), appState_(appState) {
    setWindowTitle(QStringLiteral("Quillobrandt"));
    setFixedSize(500, 300);
    loadLabels();

    auto* column = new QVBoxLayout(this);
    column->setSpacing(20);
    auto* title = new QLabel(QStringLiteral("Edit Participant Labels"), this);
    title->setFont(ConversationStyle::font(13, true));
    title->setAlignment(Qt::AlignCenter);
    column->addWidget(title);

    auto* form = new QFormLayout();
    for (const auto& participant : participants_) {
        auto* name = new QLabel(QString::fromStdString(participant), this);
        name->setFixedWidth(200);
        name->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
        auto* field = new QLineEdit(label(participant), this);
        field->setPlaceholderText(QStringLiteral("Label"));
        connect(field, &QLineEdit::textEdited, this,
                [this, participant](const QString& text) { setLabel(participant, text); });
        fields_[participant] = field;
        form->addRow(name, field);
    }
    column->addLayout(form, 1);

    auto* buttons = new QHBoxLayout();
    auto* cancel = new QPushButton(QStringLiteral("Cancel"), this);
    cancel->setObjectName(QStringLiteral("labels_cancel"));
    cancel->setAutoDefault(false);
    auto* save = new QPushButton(QStringLiteral("Save"), this);
    save->setObjectName(QStringLiteral("labels_save"));
    makeDefaultButton(*save);
    buttons->addWidget(cancel);
    buttons->addStretch();
    buttons->addWidget(save);
    column->addLayout(buttons);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(save, &QPushButton::clicked, this, [this] {
        saveLabels();
        accept();
    });
}

ParticipantLabelsView* ParticipantLabelsView::openAsSheet(std::vector<std::string> participants, AppState* appState,
                                                          QWidget* parent) {
    auto* sheet = new ParticipantLabelsView(std::move(participants), appState, parent);
    sheet->setAttribute(Qt::WA_DeleteOnClose);
    sheet->setWindowModality(Qt::WindowModal);
    sheet->open();
    return sheet;
}

void ParticipantLabelsView::loadLabels() {
    labels_.clear();
    for (const auto& [handle, text] : appState_->participantLabels()) {
        labels_[handle] = QString::fromStdString(text);
    }
}

QString ParticipantLabelsView::label(const std::string& participant) const {
    const auto found = labels_.find(participant);
    return found == labels_.end() ? QString() : found->second;
}

void ParticipantLabelsView::setLabel(const std::string& participant, const QString& text) {
    labels_[participant] = text;
}

void ParticipantLabelsView::saveLabels() {
    for (const auto& [participant, text] : labels_) {
        appState_->setParticipantLabel(participant, text.toStdString());
    }
}

QLineEdit* ParticipantLabelsView::fieldFor(const std::string& participant) const {
    const auto found = fields_.find(participant);
    return found == fields_.end() ? nullptr : found->second;
}

} // namespace quillobrandt
