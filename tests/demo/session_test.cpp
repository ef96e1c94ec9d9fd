// The demo end to end, with a short call: every stage must match, the exit
// status must say so, and the logs and records must be left in the run folder.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "harness/proc.hpp"
#include "harness/util.hpp"

namespace {

using namespace std::chrono_literals;

TEST(DemoSession, EveryStageMatchesAndTheRunFolderHoldsTheLogs) {
    HARNESS_REQUIRE_SANDBOX();
    harness::TempDir run;
    auto demo = harness::Proc::start("boxdemo", {"--run-dir", run.path(), "--cache-dir", DEMO_CACHE_DIR,
                                                 "--call-seconds", "3"});
    const auto status = demo->wait_exit(200s);
    const std::string out = demo->stdout_text();
    ASSERT_TRUE(status) << out;
    EXPECT_EQ(*status, 0) << out << demo->stderr_text();

    for (const char* stage : {"1. Loopback test call", "2. Bridge session", "3. DTMF tone", "4. Animation clip",
                              "5. \"close\""}) {
        const auto at = out.find(std::string("  ") + stage);
        ASSERT_NE(at, std::string::npos) << stage << "\n" << out;
        const std::string line = out.substr(at, out.find('\n', at) - at);
        EXPECT_NE(line.find(": MATCHED"), std::string::npos) << line;
    }
    EXPECT_NE(out.find("Result: all 5 stages matched byte for byte"), std::string::npos) << out;
    EXPECT_EQ(out.find("MISMATCH"), std::string::npos) << out;
    EXPECT_NE(out.find("Logs and records: " + run.path()), std::string::npos);
    // The progress line, written as plain lines into a pipe.
    EXPECT_NE(out.find("| video frames "), std::string::npos);

    for (const char* file : {"avhub.log", "boxsim.log", "summary.txt", "records/events.tsv"})
        EXPECT_TRUE(harness::file_exists(run / file)) << file;
    EXPECT_NE(harness::read_file(run / "avhub.log").value_or("").find("Close ap!!"), std::string::npos);
    EXPECT_EQ(demo->stderr_text().find("Sanitizer"), std::string::npos) << demo->stderr_text();
}

TEST(DemoSession, BadCommandLineIsRefusedWithUsage) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{}, {"--run-dir", "/tmp/x", "--cache-dir", "/tmp/y", "--call-seconds", "0"}}) {
        auto demo = harness::Proc::start("boxdemo", args);
        EXPECT_EQ(demo->wait_exit(10s), 2);
        EXPECT_TRUE(demo->wait_stderr("usage: boxdemo"));
    }
}

}  // namespace
