// gtest main for everything that touches Qt: one application object for the whole binary,
// so event loops, queued connections and the global thread pool behave as in the program.
#include "defaultservers.h"

#include <QApplication>
#include <cstdio>
#include <gtest/gtest.h>

// Qt's offscreen platform plugin keeps its screen objects until the process exits. Built into the
// binary, so that leak checks hold however the test is started (ctest, its test discovery, by hand).
extern "C" const char* __lsan_default_suppressions()
{
    return "leak:libqoffscreen.so\n"
           "leak:QScreen::QScreen\n"
           "leak:QGuiApplicationPrivate::createPlatformIntegration\n";
}

// The suppressions above match in every run; their table would only repeat itself.
extern "C" const char* __lsan_default_options()
{
    return "print_suppressions=0";
}

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    // Listing the tests (ctest's discovery does so for every binary) needs no application, and
    // without one it prints nothing but the list.
    if (GTEST_FLAG_GET(list_tests))
        return RUN_ALL_TESTS();
    // A failure here has to fail every test: gtest would report a failed global set-up as skips.
    DefaultServersHeldClosed defaultServers;
    const QString refusal = defaultServers.hold();
    if (!refusal.isEmpty()) {
        std::fprintf(stderr, "%s\n", qPrintable(refusal));
        return 1;
    }
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
