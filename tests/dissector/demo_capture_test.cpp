// The capture of a real demo run, decoded by tshark with the dissector,
// against what boxsim recorded of the same run: every command, reply,
// acknowledgement, packet and text record on every endpoint and bridge
// connection, field by field and in order, and every answer linked to the
// request it answers.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "boxsim/client.hpp"
#include "harness/proc.hpp"
#include "harness/util.hpp"
#include "tshark_view.hpp"

namespace {

using namespace std::chrono_literals;
using dissect::Record;
using Events = std::vector<boxsim::Event>;
using Records = std::vector<const Record*>;

const std::vector<std::string> kCmdFields = {
    "u16Cmd", "u16Type", "u16VdoWidth", "u16VdoHeight", "u32VdoEncComplexity", "u32VdoEncIFrameInterval",
    "u32VdoEncIFrame", "u32VdoEncIMBInsert", "u32VdoIMBInsertPeriod", "u16BitRate", "u16ByteNumPerBlk",
    "u8VdoFrRate", "u8AgreeFlag", "u8ChanIdx", "u8McuMode", "u8DisSectionNum"};
const std::vector<std::string> kReplyFields = {"u16Cmd", "u8AgreeFlag", "u8ChanIdx"};
const std::vector<std::string> kBridgeCmdFields = {"u16Cmd",     "u16Type",     "u16VdoWidth", "u16VdoHeight",
                                                   "u16BitRate", "u8VdoFrRate", "u8AgreeFlag", "u8ChanIdx"};
const std::vector<std::string> kHeaderFields = {"u8StreamType", "u8StreamCh", "u32TimeStamp", "u32PacketSize",
                                                "u32Gob"};
const std::vector<std::string> kSentFields = {"u8StreamType", "u32TimeStamp", "u32PacketSize"};

// tshark shows hexadecimal fields as 0x...; the records hold decimal.
std::string decimal(const std::string& v) {
    if (v.rfind("0x", 0) != 0) return v;
    return std::to_string(std::stoull(v.substr(2), nullptr, 16));
}

// Compares one connection's records with boxsim's events, in order: the
// named fields, and the record's bytes against hex_key when given.
void compare(const std::string& what, const Events& evs, const Records& recs, const std::vector<std::string>& fields,
             const std::string& hex_key, int& compared) {
    SCOPED_TRACE(what);
    EXPECT_EQ(recs.size(), evs.size());
    int shown = 0;
    for (std::size_t i = 0; i < std::min(evs.size(), recs.size()); ++i) {
        std::string diff;
        if (!hex_key.empty() && evs[i].get(hex_key) != recs[i]->get("avbox.record"))
            diff = "bytes " + recs[i]->get("avbox.record") + " recorded as " + evs[i].get(hex_key);
        for (const auto& f : fields)
            if (diff.empty() && evs[i].get(f) != decimal(recs[i]->get("avbox." + f)))
                diff = f + " " + recs[i]->get("avbox." + f) + " recorded as " + evs[i].get(f);
        if (!diff.empty() && ++shown <= 5)
            ADD_FAILURE() << "record " << i << " (frame " << recs[i]->frame << ") differs from boxsim's "
                          << evs[i].kind << " at t=" << evs[i].get("t") << ": " << diff;
        ++compared;
    }
}

// Events of one kind grouped by connection id, in connection order.
std::vector<Events> by_conn(const Events& all, const std::function<bool(const boxsim::Event&)>& take) {
    std::map<long long, Events> m;
    for (const auto& e : all)
        if (take(e)) m[e.num("conn")].push_back(e);
    std::vector<Events> out;
    for (auto& [c, v] : m) out.push_back(std::move(v));
    return out;
}

// Records grouped by TCP stream, in stream order.
std::vector<Records> by_stream(const dissect::View& v, const std::function<bool(const Record&)>& take) {
    std::map<int, Records> m;
    for (const auto& r : v.records)
        if (take(r)) m[r.stream].push_back(&r);
    std::vector<Records> out;
    for (auto& [s, recs] : m) out.push_back(std::move(recs));
    return out;
}

void compare_groups(const std::string& what, const std::vector<Events>& evs, const std::vector<Records>& recs,
                    const std::vector<std::string>& fields, const std::string& hex_key, int& compared) {
    EXPECT_EQ(evs.size(), recs.size()) << what << ": connections";
    for (std::size_t i = 0; i < std::min(evs.size(), recs.size()); ++i)
        compare(what + " connection " + std::to_string(i), evs[i], recs[i], fields, hex_key, compared);
}

bool is_header(const Record& r) { return r.get("avbox.record").size() == 36; }
bool is_cmd(const Record& r) { return r.get("avbox.record").size() == 96; }

TEST(DissectorDemoCapture, EveryRecordOfARealRunDecodesAsBoxsimRecordedIt) {
    HARNESS_REQUIRE_SANDBOX();
    if (dissect::tshark_path().empty()) GTEST_SKIP() << "tshark is not installed (scripts/deps.sh installs it)";
    harness::TempDir run;
    auto demo = harness::Proc::start("boxdemo", {"--run-dir", run.path(), "--cache-dir", DEMO_CACHE_DIR,
                                                 "--call-seconds", "2"});
    const auto status = demo->wait_exit(200s);
    ASSERT_TRUE(status) << demo->stdout_text();
    ASSERT_EQ(*status, 0) << demo->stdout_text() << demo->stderr_text();
    const std::string capture = run.path() + "/capture.pcapng";
    // The run names the command that opens its capture.
    EXPECT_NE(demo->stdout_text().find("tshark -X lua_script:" AVBOX_DISSECTOR " -2 -r " + capture),
              std::string::npos)
        << demo->stdout_text();

    const auto view = dissect::run_tshark(capture, 180);
    ASSERT_TRUE(view) << "tshark failed on " << capture;
    EXPECT_FALSE(view->lua_error);
    EXPECT_TRUE(view->experts.empty()) << "a clean run raised expert items";
    const Events ev = boxsim::Records(run.path() + "/records").events();
    int compared = 0;

    // Codec servers: commands in, replies out, chunks in (decoders), packets out (encoders).
    std::set<std::string> eps;
    for (const auto& e : ev)
        if (e.kind == "cmd" || e.kind == "chunk" || e.kind == "sent") eps.insert(e.get("ep"));
    ASSERT_GE(eps.size(), 8u);
    // A reply recorded and then found unsent (its client had closed) is the
    // last one recorded on its connection; it never reached the capture.
    std::set<std::string> unsent_replies;
    std::map<std::string, std::string> last_reply;
    for (const auto& e : ev) {
        const std::string conn = e.get("ep") + "/" + e.get("conn");
        if (e.kind == "reply" && e.get("dropped") != "1") last_reply[conn] = e.get("t");
        if (e.kind == "unsent") unsent_replies.insert(conn + "/" + last_reply[conn]);
    }
    for (const auto& ep : eps) {
        const std::string iface = "/tmp/" + ep;
        auto on = [&](const std::string& kind) {
            return [&, kind](const boxsim::Event& e) {
                return e.kind == kind && e.get("ep") == ep && e.get("dropped") != "1" &&
                       !(kind == "reply" && unsent_replies.count(ep + "/" + e.get("conn") + "/" + e.get("t")));
            };
        };
        auto to_server = [&](const Record& r) { return r.iface == iface && r.src_port > r.dst_port; };
        auto from_server = [&](const Record& r) { return r.iface == iface && r.src_port < r.dst_port; };
        compare_groups(ep + " commands", by_conn(ev, on("cmd")),
                       by_stream(*view, [&](const Record& r) { return to_server(r) && is_cmd(r); }), kCmdFields,
                       "hex", compared);
        compare_groups(ep + " replies", by_conn(ev, on("reply")),
                       by_stream(*view, [&](const Record& r) { return from_server(r) && is_cmd(r); }), kReplyFields,
                       "hex", compared);
        compare_groups(ep + " chunks received", by_conn(ev, on("chunk")),
                       by_stream(*view, [&](const Record& r) { return to_server(r) && is_header(r); }),
                       kHeaderFields, "hdr", compared);
        compare_groups(ep + " packets sent", by_conn(ev, on("sent")),
                       by_stream(*view, [&](const Record& r) { return from_server(r) && is_header(r); }),
                       kHeaderFields, "hdr", compared);
    }

    // The bridge: each connection is found by boxsim's local port.
    int bridge_conns = 0;
    for (const auto& c : ev) {
        if (c.kind != "bridge_connect") continue;
        ++bridge_conns;
        const std::string conn = c.get("conn");
        const int port = static_cast<int>(c.num("local_port"));
        auto evs = [&](const std::string& kind) {
            Events out;
            for (const auto& e : ev)
                if (e.kind == kind && e.get("conn") == conn && e.get("dropped") != "1" && e.get("failed") != "1")
                    out.push_back(e);
            return out;
        };
        auto recs = [&](bool from_boxsim) {
            Records out;
            for (const auto& r : view->records)
                if ((from_boxsim ? r.src_port : r.dst_port) == port) out.push_back(&r);
            return out;
        };
        const std::string what = "bridge " + c.get("kind") + " connection " + conn;
        if (c.get("kind") == "vbs") {
            compare(what + " to avhub", evs("bridge_sent"), recs(true), kSentFields, "", compared);
            compare(what + " from avhub", evs("bridge_video"), recs(false), kHeaderFields, "hdr", compared);
        } else {
            compare(what + " to avhub", evs("bridge_sent_cmd"), recs(true), {"u16Cmd"}, "hex", compared);
            compare(what + " from avhub", evs("bridge_cmd"), recs(false), kBridgeCmdFields, "hex", compared);
        }
    }
    EXPECT_GE(bridge_conns, 2);

    // The user-interface FIFO and the quad display.
    for (const auto& [kind, iface] : {std::pair{"ui", "/dev/tivane_in"}, {"quad", "/tmp/quad_socket"}}) {
        Events evs;
        for (const auto& e : ev)
            if (e.kind == kind) evs.push_back(e);
        Records recs;
        for (const auto& r : view->records)
            if (r.iface == iface) recs.push_back(&r);
        EXPECT_FALSE(evs.empty()) << kind;
        compare(kind, evs, recs, {}, "hex", compared);
    }

    // Every answer (codec server reply, bridge acknowledgement) points at a
    // request it answers, and that request points back at it.
    std::map<int, std::vector<const Record*>> by_frame;
    for (const auto& r : view->records) by_frame[r.frame].push_back(&r);
    int answers = 0;
    for (const auto& r : view->records) {
        const std::string name = r.get("avbox.cmd_name");
        const bool is_answer = name.rfind("ACK_", 0) == 0 || name.rfind("RSP_", 0) == 0 || name.rfind("reply", 0) == 0;
        if (!is_answer) continue;
        ++answers;
        SCOPED_TRACE(name + " in frame " + std::to_string(r.frame));
        const std::string req_frame = r.get("avbox.request_in");
        ASSERT_FALSE(req_frame.empty());
        bool found = false;
        for (const auto* q : by_frame[std::stoi(req_frame)])
            found = found || (q->get("avbox.cmd_name") == r.get("avbox.request_cmd") && q->stream == r.stream &&
                              q->get("avbox.response_in") == std::to_string(r.frame) &&
                              q->get("avbox.u8ChanIdx") == r.get("avbox.u8ChanIdx"));
        EXPECT_TRUE(found);
    }
    EXPECT_GE(answers, 4);
    EXPECT_GT(compared, 500);
}

}  // namespace
