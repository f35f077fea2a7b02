// What the library prints becomes events and never reaches the process's
// descriptors 1 and 2; what the host prints still does.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "engine_host.h"
#include "package_fixture.h"
#include "redirected_stdio.h"


TEST(CaptureHost, LibraryLinesBecomeEventsHostLinesReachStdout) {
    auto& host = EngineHost::instance();
    RedirectedStdio io;

    // Printed before the engine runs: dropped, not written anywhere.
    host.download_stop();
    host.start();
    host.download_init(R"({"path": "/nonexistent.zip"})");
    host.download_start("{");
    printf("host line on stdout\n");
    fprintf(stderr, "host line on stderr\n");
    ASSERT_TRUE(host.wait_event(1));
    ASSERT_TRUE(host.wait_log("initialized kelvo release package successfully.\n"));
    ASSERT_TRUE(host.wait_log("Failed to parse configuration\n"));
    host.settle();
    io.restore();

    EXPECT_NE(io.out().find("host line on stdout\n"), std::string::npos);
    EXPECT_NE(io.err().find("host line on stderr\n"), std::string::npos);
    EXPECT_EQ(io.out().find("kelvo"), std::string::npos) << io.out();
    EXPECT_EQ(io.err().find("Failed to parse"), std::string::npos) << io.err();

    auto logs = host.logs();
    for (const auto& line : logs) EXPECT_NE(line, "stopping kelvo download engine...\n");
}

// The zip library reports a broken archive through the Android log, which
// would write to descriptor 2 on its own; the lines are the engine's.
TEST(CaptureHost, ZipLibraryDiagnosticsBecomeEvents) {
    auto& host = EngineHost::instance();
    TempDir dir;
    std::string pkg = dir.file("dup.zip");
    ASSERT_TRUE(write_zip(pkg, {{"download.json", "[]"}, {"download.json", "[]"}}));
    RedirectedStdio io;
    host.download_stop();
    host.start();
    host.clear();
    host.download_init(("{\"path\": \"" + pkg + "\"}").c_str());
    ASSERT_TRUE(host.wait_event(1));
    ASSERT_TRUE(host.wait_log("ziparchive: Zip: Found duplicate entry download.json\n"));
    host.settle();
    io.restore();
    EXPECT_EQ(io.err().find("Zip:"), std::string::npos) << io.err();
}
