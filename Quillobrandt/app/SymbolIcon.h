#pragma once

#include <QColor>
#include <QIcon>
#include <QImage>
#include <QPixmap>
#include <QString>
#include <QStringList>
#include <QWidget>

class QPainter;

namespace quillobrandt {

// Small symbols of our own drawing, keyed by their designed names ("key.fill", "gear", "chevron.down", ...,
// and "AppIcon"). Each is an SVG compiled into the program, drawn in black ink and tinted here, so symbols look
// the same whatever icon theme or fonts the machine has. "AppIcon" keeps its own colours. An unknown name draws
// nothing: an empty square of the asked size.
bool isKnownSymbol(const QString& name);
QStringList knownSymbolNames();
QImage symbolImage(const QString& name, QSize pixelSize, const QColor& colour);
void paintSymbol(QPainter& painter, const QRectF& box, const QString& name, const QColor& colour);
QPixmap symbolPixmap(const QString& name, int size, const QColor& colour);
QIcon symbolIcon(const QString& name, int size, const QColor& colour);

// A fixed-size widget showing one symbol.
class SymbolIcon final : public QWidget {
    Q_OBJECT
public:
    SymbolIcon(QString name, int size, QColor colour, QWidget* parent = nullptr);
    const QString& name() const { return name_; }
    const QColor& colour() const { return colour_; }
    void setName(const QString& name);
    void setColour(const QColor& colour);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QString name_;
    QColor colour_;
};

} // namespace quillobrandt
