#include "support/TestSupport.h"

#include <QProcess>
#include <gtest/gtest.h>

using namespace nimo::test;

#if defined(__SANITIZE_THREAD__)
// Every service, provider and client of these tests is a QProcess: a sanitizer that stopped
// watching the thread that started one would pass races unseen.
TEST(Sanitizer, StillSeesTheThreadThatStartedAProcess) {
    QProcess watch;
    watch.start(QString::fromStdString(binDir() + "/tsan_watch"), {});
    ASSERT_TRUE(watch.waitForFinished(scaledMs(20000)));
    const std::string out = watch.readAllStandardError().toStdString();
    EXPECT_NE(out.find("WARNING: ThreadSanitizer: data race"), std::string::npos) << out;
    EXPECT_EQ(out.find("after multi-threaded fork"), std::string::npos) << out;
}
#endif
