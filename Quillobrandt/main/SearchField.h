#pragma once

#include <QLineEdit>

namespace quillobrandt {

class SymbolButton;
class SymbolIcon;

// A search field with a magnifying glass before the text and, while there is text, a clear button after it.
// Both are our own symbols, sized to the field, so nothing depends on the platform's icons or their sizes.
// Escape empties it, as the clear button does; an empty field passes Escape on.
class SearchField final : public QLineEdit {
    Q_OBJECT
public:
    explicit SearchField(QWidget* parent = nullptr);

    SymbolButton* clearButton() const { return clearButton_; }

protected:
    void resizeEvent(QResizeEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void placeSymbols();

    SymbolIcon* glass_;
    SymbolButton* clearButton_;
};

} // namespace quillobrandt
