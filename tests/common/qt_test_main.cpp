// Test program of every folder whose tests need a QApplication around them.
#include <gtest/gtest.h>

#include <QApplication>

// Qt is not built for ThreadSanitizer, so the locks of its own worker pool are invisible to
// it: painting a large window spreads fills over that pool, and the pool's hand-over of its
// tasks then looks like a race. These entries cover Qt's pool and its painting library only;
// the system's own threads stay fully checked.
extern "C" const char* __tsan_default_suppressions() {
    return "race:QThreadPoolPrivate::enqueueTask\n"
           "race:QRunnable::create\n"
           "race:QWaitCondition::~QWaitCondition\n"
           "race:libQt6Gui.so\n";
}

int main(int argc, char** argv) {
    // Listing the tests at build time runs without ctest's environment.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
