#pragma once

#include <QWidget>

class QLabel;
class QProgressBar;

namespace quillobrandt {

struct LoadingState;

// A veil over the whole window with a card showing the load's progress, or "Matching contacts...".
class LoadingOverlay final : public QWidget {
    Q_OBJECT
public:
    explicit LoadingOverlay(QWidget* parent);

    // Shows or hides itself to match `state`.
    void display(const LoadingState& state);

    QString messageText() const;
    QString percentText() const;
    QString subLineText() const;
    int progressValue() const; // 0..1000
    bool showsContactMatching() const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QWidget* card_;
    QWidget* matchingPage_;
    QWidget* progressPage_;
    QProgressBar* progress_;
    QLabel* message_;
    QLabel* percent_;
    QLabel* subLine_;
};

} // namespace quillobrandt
