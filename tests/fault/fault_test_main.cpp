// Test program of the fault matrix: the page's widgets need a QApplication around the tests.
#include <gtest/gtest.h>

#include <QApplication>

int main(int argc, char** argv) {
    // Listing the tests at build time runs without ctest's environment.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
