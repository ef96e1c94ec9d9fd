// Stage 2: the bridge session. The call restarts at every service step
// ("vcb_start"), so its video and audio are several streams, each from its
// start to its stop; all of it goes to the bridge (video) and the audio
// decoder, and the bridge's own video goes to the video decoder.
#include <algorithm>
#include <cstdlib>

#include "harness/util.hpp"
#include "session.hpp"
#include "stages.hpp"
#include "wire/codes.hpp"

namespace demo {

using namespace stage;

namespace {

int count(const Snapshot& snap, const char* kind, int conn) {
    return static_cast<int>(std::count_if(snap.events().begin(), snap.events().end(), [&](const boxsim::Event& e) {
        return e.kind == kind && (conn < 0 || e.num("conn") == conn);
    }));
}

}  // namespace

StageResult Session::bridge_session() {
    StageResult r{.title = "Bridge session: \"vcb_start\", command dialogue, video both ways, \"vcb_stop\""};
    console_.say("stage 2: \"vcb_start\" -> avhub waits for the bridge on TCP ports 2004-2007; the bridge connects, "
                 "gets the call's video, sends requests and video of its own");
    Snapshot snap = open_window();
    const std::size_t starts = hub_count("start_test");
    if (!fifo("vcb_start")) r.problems.push_back("avhub did not read \"vcb_start\"");
    // avhub listens once its wait has begun.
    if (!harness::wait_until([&] { return hub_count("Start VCB Test!!") > 0; }, 5s))
        r.problems.push_back("no \"Start VCB Test!!\"");

    auto id_of = [&](const std::string& kind) {
        std::string reply;
        harness::wait_until([&] { return (reply = bridge("connect " + kind)).rfind("ok ", 0) == 0; }, 5s, 100ms);
        if (reply.rfind("ok ", 0) != 0) {
            r.problems.push_back("the bridge could not connect its " + kind + " link: " + reply);
            return -1;
        }
        return std::atoi(reply.c_str() + 3);
    };
    const int vcmd = id_of("vcmd");
    const int vbs = id_of("vbs");
    if (vcmd < 0 || vbs < 0) {
        close_window(snap);
        return r;
    }
    if (!wait_hub("start_test", starts, 25s)) r.problems.push_back("the call did not start after the bridge came");

    // Let the call's video flow to the bridge for a while.
    settle(snap, [&] { return count(snap, "bridge_video", vbs) >= 45; }, 10s);

    // The bridge's side of the dialogue: two requests, and video packets.
    const std::vector<std::pair<std::uint16_t, std::string>> requests{
        {wire::REQ_RECV_VDO_CAPABILITY, "width=1280 height=720 fr=30 bitrate=2048 chan=0"},
        {wire::REQ_SET_SID, "chan=0"}};
    checks::Packets want_answers;
    for (const auto& [code, fields] : requests) {
        std::string reply = bridge("cmd " + std::to_string(vcmd) + " " + std::to_string(code) + " " + fields);
        if (reply.rfind("ok", 0) != 0) r.problems.push_back("bridge cmd " + std::to_string(code) + ": " + reply);
        want_answers.push_back(std::to_string(code + 1) + " agree=1");
    }
    constexpr int kBridgePackets = 12;
    std::string reply = bridge("video " + std::to_string(vbs) + " 0 2400 " + std::to_string(kBridgePackets));
    if (reply.rfind("ok", 0) != 0) r.problems.push_back("bridge video: " + reply);

    auto answers = [&] {
        checks::Packets got;
        for (const auto& e : snap.events()) {
            if (e.kind != "bridge_cmd" || e.num("conn") != vcmd) continue;
            const long long code = e.num("u16Cmd");
            for (const auto& [req, fields] : requests)
                if (code == req + 1) got.push_back(std::to_string(code) + " agree=" + e.get("u8AgreeFlag"));
        }
        return got;
    };
    // avhub reads the bridge's links only while "vcb_start" services its
    // server: each further "vcb_start" is one service step (and restarts the
    // call), taking one command per link.
    for (int step = 0; step < 6; ++step) {
        snap.refresh();
        if (answers().size() >= want_answers.size() &&
            flows::chunks(snap, "T_DecStrm", 0).on.size() >= static_cast<std::size_t>(kBridgePackets))
            break;
        const std::size_t before = hub_count("start_test");
        if (!fifo("vcb_start") || !wait_hub("start_test", before, 25s)) {
            r.problems.push_back("a service step did not end");
            break;
        }
    }

    const std::size_t stops = hub_count("Stop Test!!");
    if (!fifo("stop") || !wait_hub("Stop Test!!", stops, 5s)) r.problems.push_back("the call did not stop");
    auto stopped = [&] {
        return flows::stopped(flows::streams(snap, "T_EncStrm", 0)) &&
               flows::stopped(flows::streams(snap, "ado_enc_server_socket", 0));
    };
    if (!settle(snap, stopped, kStopWait)) r.problems.push_back("the encoders did not stop after \"Stop Test!!\"");

    auto build = [&] {
        std::vector<checks::Sent> bridge_pics;
        for (auto& a : flows::digests(snap, "picture", "bridge_tx", vbs).on)
            bridge_pics.push_back({.label = "picture " + std::to_string(bridge_pics.size()), .data = a.data});
        return std::vector<Flow>{
            {.title = "call video frames: encoder -> avhub -> bridge",
             .dest = "bridge:0",
             .sent = flows::frames(snap, "T_EncStrm", 0),
             .got = flows::bridge_received(snap, vbs, 0)},
            {.title = "bridge video packets: bridge -> avhub -> video decoder",
             .dest = "T_DecStrm:0",
             .sent = flows::bridge_sent(snap, vbs),
             .got = flows::chunks(snap, "T_DecStrm", 0)},
            {.title = "call pictures (MD5): encoder's own decode = bridge's decode",
             .dest = "picture:bridge_rx",
             .sent = flows::own_digests(snap, "picture", "T_EncStrm", 0),
             .got = flows::digests(snap, "picture", "bridge_rx", vbs),
             .compare = checks::Compare::Digests,
             .errors = flows::decode_errors(snap, "bridge_rx", vbs)},
            {.title = "bridge pictures (MD5): bridge's own decode = video decoder's",
             .dest = "picture:T_DecStrm:0",
             .sent = std::move(bridge_pics),
             .got = flows::digests(snap, "picture", "T_DecStrm", 0),
             .compare = checks::Compare::Digests,
             .errors = flows::decode_errors(snap, "T_DecStrm", 0)},
            {.title = "bridge requests answered by avhub",
             .dest = "answers",
             .sent = checks::numbered(want_answers, "answer"),
             .got = {.on = checks::arrivals(answers())}},
            {.title = "call audio blocks: encoder -> avhub -> audio decoder",
             .dest = "ado_dec_server_socket:0",
             .sent = flows::blocks(snap, "ado_enc_server_socket", 0, kAudioBlock),
             .got = flows::chunks(snap, "ado_dec_server_socket", 0)},
        };
    };
    await_arrivals(snap, build);

    const std::size_t vcb_stops = hub_count("Stop VCB Test!!");
    if (!fifo("vcb_stop") || !wait_hub("Stop VCB Test!!", vcb_stops, 5s))
        r.problems.push_back("no \"Stop VCB Test!!\"");
    if (!settle(snap, [&] { return count(snap, "bridge_eof", -1) >= 2; }, 5s))
        r.problems.push_back("avhub did not close the bridge's links");
    add_rows(r, build());
    close_window(snap);
    return r;
}

}  // namespace demo
