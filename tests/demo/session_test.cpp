// The demo end to end, with a short call at a small picture size: every
// stage must match, the exit status must say so, and the logs, records,
// contact sheets and WAV files must be left in the run folder.
#include <gtest/gtest.h>

#include <sstream>
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
                                                 "--call-seconds", "3", "--size", "160x120"});
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

    // Every listed picture and sound file is there: a PNG for the loopback
    // call's video and one for the clip's, a WAV for the call, tone and
    // clip channels.
    const auto list = out.find("Pictures and sound the decoders kept");
    ASSERT_NE(list, std::string::npos) << out;
    int sheets = 0, wavs = 0;
    std::istringstream lines(out.substr(list));
    std::string line;
    std::getline(lines, line);
    while (std::getline(lines, line) && line.starts_with("  ")) {
        const std::string path = line.substr(2);
        const std::string head = harness::read_file(path).value_or("").substr(0, 4);
        if (path.ends_with(".png") && head == "\x89PNG") ++sheets;
        if (path.ends_with(".wav") && head == "RIFF") ++wavs;
    }
    EXPECT_GE(sheets, 2) << out;
    EXPECT_EQ(wavs, 3) << out;
}

TEST(DemoSession, BadCommandLineIsRefusedWithUsage) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{},
          {"--run-dir", "/tmp/x", "--cache-dir", "/tmp/y", "--call-seconds", "0"},
          {"--run-dir", "/tmp/x", "--cache-dir", "/tmp/y", "--size", "352"},
          {"--run-dir", "/tmp/x", "--cache-dir", "/tmp/y", "--size", "176x144"}}) {
        auto demo = harness::Proc::start("boxdemo", args);
        EXPECT_EQ(demo->wait_exit(10s), 2);
        EXPECT_TRUE(demo->wait_stderr("usage: boxdemo"));
    }
}

}  // namespace
