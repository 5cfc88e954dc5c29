#pragma once

#include <QColor>
#include <QIcon>
#include <QPixmap>
#include <QString>
#include <QWidget>

class QPainter;

namespace quillobrandt {

// Small symbols of our own drawing, keyed by their designed names ("key.fill", "gear", "chevron.down", ...,
// and "AppIcon"). Drawn with QPainter, so they look the same with or without an icon theme. An unknown
// name draws nothing: an empty square of the asked size.
bool isKnownSymbol(const QString& name);
void paintSymbol(QPainter& painter, const QRectF& box, const QString& name, const QColor& colour);
QPixmap symbolPixmap(const QString& name, int size, const QColor& colour);
QIcon symbolIcon(const QString& name, int size, const QColor& colour);

// A fixed-size widget showing one symbol.
class SymbolIcon final : public QWidget {
    Q_OBJECT
public:
    SymbolIcon(QString name, int size, QColor colour, QWidget* parent = nullptr);
    const QString& name() const { return name_; }
    void setName(const QString& name);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QString name_;
    QColor colour_;
};

} // namespace quillobrandt
