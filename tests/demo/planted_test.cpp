// The demo's accounting against planted faults: boxsim's record of what a
// receiver got lies once per flow (a chunk recorded twice, not at all, with
// a byte flipped, after the next one, or on the next channel) on seven
// flows of four stages. Each lie must fail exactly the row that accounts
// for that flow, naming the item and what happened to it, and leave every
// other row matched (what was decoded is what really came). The clean run
// is demo_session_test.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "harness/proc.hpp"
#include "harness/util.hpp"

namespace {

using namespace std::chrono_literals;

struct Planted {
    int stage;
    const char* where;  // boxsim's receiver and channel
    int n;              // the nth chunk there after the stage began
    const char* flow;   // the row that accounts for it
    const char* item;   // how that row names the nth chunk's item
};

// The clip's chunks are counted past the black lead-in, whose packets are
// alike (a lie about one of them is still told, but swapping two changes
// nothing).
const std::vector<Planted> kPlanted{
    {1, "T_DecStrm:0", 5, "video frames: encoder -> avhub -> video decoder", "frame ts=4"},
    {1, "ado_dec_server_socket:0", 5, "audio blocks: encoder -> avhub -> audio decoder", "block ts=4"},
    {2, "bridge", 5, "call video frames: encoder -> avhub -> bridge", "frame ts=4 of stream 1"},
    {2, "T_DecStrm:0", 5, "bridge video packets: bridge -> avhub -> video decoder", "packet ts=5004"},
    {3, "ado_dec_server_socket:1", 5, "tone blocks: file -> avhub -> audio decoder ch 1", "block 4"},
    {4, "T_DecStrm:0", 40, "clip video packets: lead-in, clip, trailer -> video decoder", "clip packet 14"},
    {4, "ado_dec_server_socket:12", 70, "clip audio blocks -> audio decoder ch 12", "clip block 19"},
};

struct Fault {
    const char* name;   // boxsim's word
    const char* words;  // what the row must say after the item's name
};

class PlantedFault : public testing::TestWithParam<Fault> {};

// A summary row: "     FLOW  SENT ARRIVED MATCHED  ok|MISMATCH[ (NOTE)]".
struct Row {
    std::string flow, verdict, note;
};

std::vector<Row> rows_of(const std::string& summary) {
    std::vector<Row> out;
    std::istringstream in(summary);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.starts_with("     ") || line.starts_with("     what ") || line.starts_with("     problem:")) continue;
        Row r;
        for (const char* v : {"  ok", "  MISMATCH"}) {
            const auto at = line.find(v, 5 + 68);
            if (at == std::string::npos) continue;
            r.flow = line.substr(5, line.find_last_not_of(' ', 5 + 68) - 4);
            r.verdict = v + 2;
            const auto open = line.find(" (", at + 2);
            if (open != std::string::npos) r.note = line.substr(open + 2, line.size() - open - 3);
        }
        if (!r.verdict.empty()) out.push_back(r);
    }
    return out;
}

TEST_P(PlantedFault, FailsOnlyTheRowThatAccountsForItWithItsWords) {
    HARNESS_REQUIRE_SANDBOX();
    const Fault& fault = GetParam();
    harness::TempDir run;
    std::vector<std::string> args{"--run-dir", run.path(), "--cache-dir", DEMO_CACHE_DIR,
                                  "--call-seconds", "3", "--size", "160x120"};
    for (const auto& p : kPlanted) {
        args.emplace_back("--plant");
        args.push_back(std::to_string(p.stage) + "," + fault.name + "," + p.where + "," + std::to_string(p.n));
    }
    auto demo = harness::Proc::start("boxdemo", args);
    const auto status = demo->wait_exit(200s);
    const std::string out = demo->stdout_text();
    ASSERT_TRUE(status) << out;
    EXPECT_EQ(*status, 1) << out << demo->stderr_text();
    const std::string summary = harness::read_file(run / "summary.txt").value_or("");
    EXPECT_EQ(summary.find("problem:"), std::string::npos) << summary;
    EXPECT_NE(summary.find("Result: 4 of 5 stages did not match (stage 1 2 3 4)"), std::string::npos) << summary;

    const auto rows = rows_of(summary);
    ASSERT_EQ(rows.size(), 22u) << summary;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.flow);
        const Planted* planted = nullptr;
        for (const auto& p : kPlanted)
            if (row.flow == p.flow) planted = &p;
        if (!planted) {
            EXPECT_EQ(row.verdict, "ok") << row.note;
            continue;
        }
        EXPECT_EQ(row.verdict, "MISMATCH");
        const std::string said = std::string(planted->item) + " " + fault.words;
        EXPECT_TRUE(row.note.starts_with(said)) << "want \"" << said << "...\", got \"" << row.note << "\"";
    }
}

INSTANTIATE_TEST_SUITE_P(Faults, PlantedFault,
                         testing::Values(Fault{"dup", "arrived twice"}, Fault{"drop", "never arrived"},
                                         Fault{"flip", "differs at byte"}, Fault{"swap", "arrived out of order"},
                                         Fault{"channel", "arrived on channel"}),
                         [](const testing::TestParamInfo<Fault>& i) { return std::string(i.param.name); });

}  // namespace
