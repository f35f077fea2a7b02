// Command 2 with libraries missing: everything that needs them answers 2 and
// the program keeps running.
#include <gtest/gtest.h>

#include "test_env.h"

using namespace dltest;

TEST(Libraries, WithoutAnyLibraryCommandsAnswerTwo) {
    IsolatedProgram prog;
    DownloadProcess p(prog.exe, clean_env());
    p.send("2\n6,1,7B7D\n6,0,7B7D\n3,41\n4,41,0\n5\n8\n8\n2\n6,2,7B7D\n1\n");
    ASSERT_TRUE(p.wait_records(11));
    EXPECT_EQ(p.err(), result(0) + result(2) + result(2) + result(2) + result(2) + result(2) +
                           result(0) + result(0) + result(0) + result(2) +
                           record("result", "0", {"0"}));
    p.close_input();
    EXPECT_EQ(p.wait_exit(5000), 0);
    EXPECT_EQ(p.out(), "");
}

TEST(Libraries, OnlyOneOutsideLibraryBindsNothing) {
    IsolatedProgram prog;
    prog.dir.add(KOV_BLD_LIB);
    TempDir other;  // the second library elsewhere, but on the library path
    other.add(VORPT_LIB);
    for (bool second_on_path : {false, true}) {
        SCOPED_TRACE(second_on_path);
        std::vector<std::string> env;
        if (second_on_path) env.push_back("LD_LIBRARY_PATH=" + other.path().string());
        DownloadProcess p(prog.exe, clean_env(env));
        p.send("2\n3,41\n4,41,0\n5\n1\n");
        ASSERT_TRUE(p.wait_records(5));
        // Found beside the program or on the library path, both count.
        if (second_on_path)
            EXPECT_EQ(p.err(), result(0) + result(0) + result(0) + result(0) +
                                   record("result", "0", {"1"}));
        else
            EXPECT_EQ(p.err(), result(0) + result(2) + result(2) + result(2) +
                                   record("result", "0", {"0"}));
    }
}
