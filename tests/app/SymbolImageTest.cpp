#include "SymbolImage.h"

#include <QImage>
#include <QPainter>

#include <gtest/gtest.h>

namespace orvel {
namespace {

TEST(SymbolImage, EverySymbolTheWindowNamesShipsWithTheProgram) {
    for (const char* name : {"ellipsis.circle.fill", "questionmark.folder.fill", "switch.2", "checkmark.seal.fill",
                             "xmark.octagon.fill", "gearshape.fill"}) {
        const auto image = SymbolImage::systemSymbolNamed(QString::fromLatin1(name));
        ASSERT_TRUE(image) << name;
        EXPECT_EQ(image->name(), QString::fromLatin1(name));
    }
    EXPECT_FALSE(SymbolImage::systemSymbolNamed(QStringLiteral("no.such.symbol")));
}

TEST(SymbolImage, PaintsOnlyInItsTintAndKeepsItsCutOuts) {
    QImage canvas(28, 28, QImage::Format_ARGB32);
    canvas.fill(Qt::black);
    {
        QPainter painter(&canvas);
        SymbolImage::systemSymbolNamed(QStringLiteral("ellipsis.circle.fill"))->paint(painter, QRectF(0, 0, 28, 28),
                                                                                      QColor(255, 0, 0));
    }
    int tinted = 0;
    for (int y = 0; y < canvas.height(); ++y) {
        for (int x = 0; x < canvas.width(); ++x) {
            const QColor pixel = canvas.pixelColor(x, y);
            EXPECT_EQ(pixel.green(), 0);
            EXPECT_EQ(pixel.blue(), 0);
            tinted += pixel.red() == 255;
        }
    }
    EXPECT_GT(tinted, 300);
    EXPECT_EQ(canvas.pixelColor(4, 14), QColor(255, 0, 0));
    // The middle dot is cut out of the circle: the background shows through.
    EXPECT_EQ(canvas.pixelColor(14, 14), QColor(0, 0, 0));
}

} // namespace
} // namespace orvel
