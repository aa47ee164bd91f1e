#include "TextLabel.h"

#include <QAbstractTextDocumentLayout>
#include <QPainter>
#include <QTextBlockFormat>
#include <QTextCharFormat>
#include <QTextCursor>
#include <QTextDocument>

namespace orvel {

TextLabel::TextLabel(QWidget* parent) : LayerView(parent) {}

QString TextLabel::stringValue() const { return attributed_ ? attributed_->string : text_; }

void TextLabel::setStringValue(const QString& text) {
    text_ = text;
    attributed_.reset();
    update();
}

void TextLabel::setAttributedStringValue(const AttributedString& value) {
    attributed_ = value;
    update();
}

void TextLabel::setTextColor(const QColor& color) {
    textColor_ = color;
    update();
}

void TextLabel::setAlignment(Qt::Alignment alignment) {
    alignment_ = alignment;
    update();
}

double TextLabel::fittingHeight() const {
    if (stringValue().isEmpty()) {
        return 0;
    }
    QTextDocument document;
    QColor color;
    layOut(document, color);
    // Space after the last paragraph shows nothing.
    return document.size().height() - (attributed_ ? attributed_->paragraphStyle.paragraphSpacing : 0);
}

void TextLabel::layOut(QTextDocument& document, QColor& color) const {
    document.setDocumentMargin(0);
    document.setDefaultFont(attributed_ ? attributed_->font : font());
    document.setTextWidth(width());

    QTextBlockFormat block;
    block.setAlignment(alignment_ & Qt::AlignHorizontal_Mask);
    QTextCharFormat characters;
    characters.setFont(document.defaultFont());
    color = textColor_.isValid() ? textColor_ : palette().color(QPalette::WindowText);
    if (attributed_) {
        block.setLineHeight(attributed_->paragraphStyle.lineSpacing, QTextBlockFormat::LineDistanceHeight);
        block.setBottomMargin(attributed_->paragraphStyle.paragraphSpacing);
        if (attributed_->foregroundColor.isValid()) {
            color = attributed_->foregroundColor;
        }
    }
    characters.setForeground(color);

    QTextCursor cursor(&document);
    cursor.setBlockFormat(block);
    cursor.setBlockCharFormat(characters);
    cursor.insertText(stringValue(), characters);
}

void TextLabel::paintContents(QPainter& painter) {
    if (stringValue().isEmpty()) {
        return;
    }
    QTextDocument document;
    QColor color;
    layOut(document, color);

    double top = 0;
    if (alignment_ & Qt::AlignVCenter) {
        top = (height() - document.size().height()) / 2;
    }
    painter.save();
    painter.translate(0, top);
    QAbstractTextDocumentLayout::PaintContext context;
    context.palette.setColor(QPalette::Text, color);
    document.documentLayout()->draw(&painter, context);
    painter.restore();
}

} // namespace orvel
