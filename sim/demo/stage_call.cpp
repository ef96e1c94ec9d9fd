// Stage 1: the loopback call. The encoders' streams are what boxsim sent
// between each stream's start and its stop (recorded when it acts on
// avhub's close requests, which come after avhub's "Time Out !!" line);
// everything of them must reach the decoders, also what avhub relays after
// it closed them.
#include "session.hpp"
#include "stages.hpp"

namespace demo {

using namespace stage;

StageResult Session::loopback_call() {
    StageResult r{.title = "Loopback test call: " + std::to_string(settings_.width) + "x" +
                           std::to_string(settings_.height) + ", 30 frames/s, H.264 video and G.711 u-law audio for " +
                           std::to_string(settings_.call_seconds) + " s"};
    console_.say("stage 1: \"start\" -> avhub opens the decoders and encoders and relays the encoders' output "
                 "back to the decoders until its test time runs out");
    Snapshot snap = open_window();
    const std::size_t timeouts = hub_count("Time Out !!");
    if (!fifo("start")) r.problems.push_back("avhub did not read \"start\"");
    if (!wait_hub("Time Out !!", timeouts, std::chrono::seconds(settings_.call_seconds + 20)))
        r.problems.push_back("the call did not end at its test time");

    // The close requests follow the line; the streams end when boxsim acts
    // on them.
    auto stopped = [&] {
        return flows::stopped(flows::streams(snap, "T_EncStrm", 0)) &&
               flows::stopped(flows::streams(snap, "ado_enc_server_socket", 0));
    };
    if (!settle(snap, stopped, kStopWait)) r.problems.push_back("the encoders did not stop after \"Time Out !!\"");

    // What the encoder decoded of its own output against what the decoder
    // made of what reached it, MD5 by MD5.
    auto decoded = [&](const char* title, const std::string& kind, const std::string& enc, const std::string& dec) {
        return Flow{.title = title,
                    .dest = kind + ":" + dec + ":0",
                    .sent = flows::own_digests(snap, kind, enc, 0),
                    .got = flows::digests(snap, kind, dec, 0),
                    .compare = checks::Compare::Digests,
                    .errors = flows::decode_errors(snap, dec, 0)};
    };
    auto build = [&] {
        return std::vector<Flow>{
            {.title = "video frames: encoder -> avhub -> video decoder",
             .dest = "T_DecStrm:0",
             .sent = flows::frames(snap, "T_EncStrm", 0),
             .got = flows::chunks(snap, "T_DecStrm", 0)},
            {.title = "audio blocks: encoder -> avhub -> audio decoder",
             .dest = "ado_dec_server_socket:0",
             .sent = flows::blocks(snap, "ado_enc_server_socket", 0, kAudioBlock),
             .got = flows::chunks(snap, "ado_dec_server_socket", 0)},
            decoded("decoded pictures (MD5): encoder's own decode = video decoder's", "picture", "T_EncStrm",
                    "T_DecStrm"),
            decoded("decoded audio blocks (MD5): encoder's own decode = audio decoder's", "sound",
                    "ado_enc_server_socket", "ado_dec_server_socket"),
        };
    };
    await_arrivals(snap, build);
    add_rows(r, build());
    close_window(snap);
    return r;
}

}  // namespace demo
