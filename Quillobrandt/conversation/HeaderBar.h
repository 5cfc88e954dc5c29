#pragma once

#include <QLabel>
#include <QWidget>

namespace quillobrandt {

// A sheet's header: a title block, a group of controls and a close button on one line where there is room for
// them; else the controls on a second line under the title and the close button. The controls get their full
// size hint where it fits and their minimum (a toolbar's symbols alone) where it does not. It asks its parent to
// lay out again whenever the controls change (another set shown, a count on a button).
class HeaderBar final : public QWidget {
public:
    using QWidget::QWidget;

    // The three parts, children of this bar, each placed here by hand (the bar has no layout).
    void setParts(QWidget* title, QWidget* controls, QWidget* close);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;
    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override;

protected:
    bool event(QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    int oneLineWidth() const;
    bool fitsOneLine(int width) const { return width >= oneLineWidth(); }
    void arrange();

    QWidget* title_ = nullptr;
    QWidget* controls_ = nullptr;
    QWidget* close_ = nullptr;
};

// A title on one line, cut with "…" when it is given less width than the text needs, so a long title never
// widens its window. text() keeps the whole title.
class TitleLabel final : public QLabel {
public:
    explicit TitleLabel(QWidget* parent);

    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent*) override;
};

} // namespace quillobrandt
