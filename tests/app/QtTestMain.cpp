#include <QApplication>

#include <gtest/gtest.h>

int main(int argc, char* argv[]) {
    // Headless unless a platform is asked for, so that listing the tests needs no display either,
    // on a screen larger than the window, so that the window keeps its own size.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen:configfile=" ORVEL_LARGE_TEST_SCREEN);
    }
    QApplication application(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
