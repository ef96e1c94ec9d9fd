// blendset end to end, with fbshim preloaded so that a regular file holding
// one region record stands in for the framebuffer device.
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "harness/proc.hpp"
#include "harness/util.hpp"
#include "ti81xxfb.h"

namespace {

using namespace std::chrono_literals;

ti81xxfb_region_params sample_params() {
    ti81xxfb_region_params p{};
    p.ridx = 1;
    p.pos_x = 10;
    p.pos_y = 20;
    p.priority = 2;
    p.transen = 0;
    p.blendtype = 3;
    p.transtype = 1;
    p.transcolor = 0x00FF00;
    p.bbalpha = 0x40;
    p.blendalpha = 0xFF;
    // Fields blendset never names must travel back untouched.
    p.reserved0[0] = 0xA5;
    p.reserved[4] = 0xDEADBEEF;
    return p;
}

std::string text_of(const ti81xxfb_region_params& p) {
    char buf[512];
    std::snprintf(buf, sizeof buf,
                  "ridx = %u\npos_x = %u\npos_y = %u\ntransen = %u\nblendtype = %u\ntranstype = %u\n"
                  "transcolor = 0x%X\nbbalpha = %u\nblendalpha = 0x%X\n",
                  unsigned{p.ridx}, unsigned{p.pos_x}, unsigned{p.pos_y}, unsigned{p.transen},
                  unsigned{p.blendtype}, unsigned{p.transtype}, unsigned{p.transcolor}, unsigned{p.bbalpha},
                  unsigned{p.blendalpha});
    return buf;
}

std::string usage_text() {
    const std::string prog = harness::bin("blendset");
    return "Usage: " + prog + " -i\n       " + prog +
           " [framebuffer] [-b 0|1|2|3] [-a global_alpha] [-t 0|1] [-c trans_color]\n"
           "\n-i     Print current parameters\n\n-b     Blend type\n   0   TI81XXFB_BLENDING_NO\n"
           "   1   TI81XXFB_BLENDING_GLOBAL\n   2   TI81XXFB_BLENDING_PALETTE\n"
           "   3   TI81XXFB_BLENDING_PIXEL\n\n-t     Enable / disable transparent color\n";
}

class Blendset : public ::testing::Test {
protected:
    void SetUp() override { write_params(sample_params()); }

    void write_params(const ti81xxfb_region_params& p) {
        ASSERT_TRUE(harness::write_file(device(), std::string(reinterpret_cast<const char*>(&p), sizeof p)));
    }
    ti81xxfb_region_params read_params() const {
        ti81xxfb_region_params p{};
        const auto bytes = harness::read_file(device());
        EXPECT_TRUE(bytes && bytes->size() == sizeof p);
        if (bytes && bytes->size() == sizeof p) std::memcpy(&p, bytes->data(), sizeof p);
        return p;
    }
    std::string device() const { return dir_ / "fb0"; }

    // Runs blendset with the shim; returns the exit status.
    int run(const std::vector<std::string>& args, const std::string& fail = "") {
        std::string asan = "verify_asan_link_order=0";
        if (const char* prior = std::getenv("ASAN_OPTIONS")) asan = std::string(prior) + ":" + asan;
        harness::ProcOptions opts;
        opts.env = {{"LD_PRELOAD", FBSHIM_PATH}, {"ASAN_OPTIONS", asan}};
        if (!fail.empty()) opts.env["FBSHIM_FAIL"] = fail;
        proc_ = harness::Proc::start(harness::bin("blendset"), args, opts);
        return proc_->wait_exit(10s).value_or(-1);
    }
    std::string out() const { return proc_->stdout_text(); }
    std::string err() const { return proc_->stderr_text(); }

    harness::TempDir dir_;
    std::unique_ptr<harness::Proc> proc_;
};

bool same_bytes(const ti81xxfb_region_params& a, const ti81xxfb_region_params& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

TEST_F(Blendset, NoOptionsWritesBackUnchangedAndPrints) {
    EXPECT_EQ(run({device()}), 0) << err();
    EXPECT_EQ(out(),
              "ridx = 1\npos_x = 10\npos_y = 20\ntransen = 0\nblendtype = 3\ntranstype = 1\n"
              "transcolor = 0xFF00\nbbalpha = 64\nblendalpha = 0xFF\n");
    EXPECT_TRUE(same_bytes(read_params(), sample_params()));
}

struct OptionCase {
    std::vector<std::string> options;
    void (*change)(ti81xxfb_region_params&);
};

TEST_F(Blendset, OptionsChangeOnlyTheirFields) {
    const std::vector<OptionCase> cases = {
        {{"-b", "1", "-a", "0x80"}, [](ti81xxfb_region_params& p) { p.blendtype = 1, p.blendalpha = 0x80; }},
        {{"-a", "300"}, [](ti81xxfb_region_params& p) { p.blendalpha = 44; }},
        {{"-a", "010"}, [](ti81xxfb_region_params& p) { p.blendalpha = 8; }},
        {{"-t", "5"}, [](ti81xxfb_region_params& p) { p.transen = 1; }},
        {{"-t", "1", "-t", "0"}, [](ti81xxfb_region_params& p) { p.transen = 0; }},
        {{"-c", "0x123456"}, [](ti81xxfb_region_params& p) { p.transcolor = 0x123456; }},
        {{"-c", "0xFFFFFFFF", "-b", "0"}, [](ti81xxfb_region_params& p) { p.transcolor = 0xFFFFFFFF, p.blendtype = 0; }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.options));
        write_params(sample_params());
        std::vector<std::string> args{device()};
        args.insert(args.end(), c.options.begin(), c.options.end());
        ti81xxfb_region_params expect = sample_params();
        c.change(expect);
        EXPECT_EQ(run(args), 0) << err();
        EXPECT_TRUE(same_bytes(read_params(), expect));
        EXPECT_EQ(out(), text_of(expect));
    }
}

TEST_F(Blendset, InfoOptionPrintsWithoutWriting) {
    EXPECT_EQ(run({device(), "-b", "2", "-i", "-a", "1"}), 0) << err();
    ti81xxfb_region_params shown = sample_params();
    shown.blendtype = 2;
    EXPECT_EQ(out(), text_of(shown));
    EXPECT_TRUE(same_bytes(read_params(), sample_params()));
}

TEST_F(Blendset, BadArgumentsEndWithUsage) {
    struct BadCase {
        std::vector<std::string> options;
        std::string reported;
    };
    const std::vector<BadCase> cases = {
        {{"-b"}, "-b"},              // option without its value
        {{"-a", "1", "-t"}, "-t"},  // a good pair first changes nothing
        {{"-x", "1"}, "-x"},
        {{"1", "-b"}, "1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.options));
        std::vector<std::string> args{device()};
        args.insert(args.end(), c.options.begin(), c.options.end());
        EXPECT_EQ(run(args), 1);
        EXPECT_EQ(out(), "Unknown argument: " + c.reported + "\n" + usage_text());
        EXPECT_TRUE(same_bytes(read_params(), sample_params()));
    }
}

TEST_F(Blendset, NoArgumentsPrintsUsage) {
    EXPECT_EQ(run({}), 1);
    EXPECT_EQ(out(), usage_text());
}

TEST_F(Blendset, DriverFailuresEndWithoutOutput) {
    EXPECT_NE(run({dir_ / "missing"}), 0);
    EXPECT_EQ(out(), "");
    EXPECT_NE(err().find("framebuffer device"), std::string::npos) << err();

    EXPECT_NE(run({device(), "-b", "1"}, "get"), 0);
    EXPECT_EQ(out(), "");
    EXPECT_NE(err().find("TIFB_GET_PARAMS"), std::string::npos) << err();

    EXPECT_NE(run({device(), "-b", "1"}, "set"), 0);
    EXPECT_EQ(out(), "");
    EXPECT_NE(err().find("TIFB_SET_PARAMS"), std::string::npos) << err();
    EXPECT_TRUE(same_bytes(read_params(), sample_params())) << "the driver keeps its settings";
}

}  // namespace
