// gtest main for everything that touches Qt: one application object for the whole binary,
// so event loops, queued connections and the global thread pool behave as in the program.
#include <QApplication>
#include <gtest/gtest.h>

// Qt's offscreen platform plugin keeps its screen objects until the process exits. Built into the
// binary, so that leak checks hold however the test is started (ctest, its test discovery, by hand).
extern "C" const char* __lsan_default_suppressions()
{
    return "leak:libqoffscreen.so\n"
           "leak:QScreen::QScreen\n"
           "leak:QGuiApplicationPrivate::createPlatformIntegration\n";
}

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
