#pragma once

#include "LayerView.h"

#include <QColor>
#include <QFont>
#include <QString>

#include <optional>

class QTextDocument;

namespace orvel {

struct ParagraphStyle {
    double lineSpacing = 0;      // extra space between the lines of a paragraph
    double paragraphSpacing = 0; // space after each paragraph

    friend bool operator==(const ParagraphStyle&, const ParagraphStyle&) = default;
};

struct AttributedString {
    QString string;
    QFont font;
    QColor foregroundColor;
    ParagraphStyle paragraphStyle;
};

// A read-only text field without bezel, border or background that wraps by words with no line limit.
class TextLabel final : public LayerView {
    Q_OBJECT

public:
    explicit TextLabel(QWidget* parent = nullptr);

    QString stringValue() const;
    void setStringValue(const QString& text);
    const std::optional<AttributedString>& attributedStringValue() const { return attributed_; }
    void setAttributedStringValue(const AttributedString& value);

    // Invalid when the label has no colour of its own.
    QColor textColor() const { return textColor_; }
    void setTextColor(const QColor& color);
    Qt::Alignment alignment() const { return alignment_; }
    void setAlignment(Qt::Alignment alignment);

    // The height its text takes, wrapped at its width; more than its own height cuts the text off.
    double fittingHeight() const;

protected:
    void paintContents(QPainter& painter) override;

private:
    // The text laid out as it is drawn, and its colour.
    void layOut(QTextDocument& document, QColor& color) const;

    QString text_;
    std::optional<AttributedString> attributed_;
    QColor textColor_;
    Qt::Alignment alignment_ = Qt::AlignLeft | Qt::AlignTop;
};

} // namespace orvel
