#pragma once

#include <QDialog>
#include <QHash>
#include <QString>

#include <map>
#include <string>
#include <vector>

class QLineEdit;

namespace quillobrandt {

class AppState;

// "Edit Participant Labels": one text field per participant of the conversation. Edits go into a working
// copy of every stored label; only Save writes them into AppState (an empty field removes the label).
// Cancel and Escape close without writing.
class ParticipantLabelsView final : public QDialog {
    Q_OBJECT
public:
    ParticipantLabelsView(std::vector<std::string> participants, AppState* appState, QWidget* parent = nullptr);

    // Window-modal sheet over `parent`, shown with open(); deletes itself when closed.
    static ParticipantLabelsView* openAsSheet(std::vector<std::string> participants, AppState* appState,
                                              QWidget* parent);

    // Copies every stored label into the working copy (done once when the sheet is built).
    void loadLabels();
    QString label(const std::string& participant) const;
    // What typing into the participant's field does; an empty text is kept as an empty label.
    void setLabel(const std::string& participant, const QString& text);
    // Writes the working copy into AppState, one entry at a time, texts exactly as typed.
    void saveLabels();
    QLineEdit* fieldFor(const std::string& participant) const;

private:
    std::vector<std::string> participants_;
    AppState* appState_;
    std::map<std::string, QString> labels_;
    std::map<std::string, QLineEdit*> fields_;
};

} // namespace quillobrandt
