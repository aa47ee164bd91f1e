#pragma once

#include <QColor>
#include <QString>

#include <memory>
#include <optional>

class QPainter;
class QRectF;
class QSvgRenderer;

namespace orvel {

// A named symbol from the program's own icon set, drawn in one tint colour.
class SymbolImage {
public:
    // None when the program ships no symbol of that name.
    static std::optional<SymbolImage> systemSymbolNamed(const QString& name);

    const QString& name() const { return name_; }
    // Scales the symbol down proportionally into the box, centred.
    void paint(QPainter& painter, const QRectF& box, const QColor& tint) const;

private:
    SymbolImage(QString name, std::shared_ptr<QSvgRenderer> renderer);

    QString name_;
    std::shared_ptr<QSvgRenderer> renderer_;
};

} // namespace orvel
