// Stage 4: the animation clip between the two black clips. What must reach
// the decoders is the three files' packets, taken apart as the box's
// player takes them; what they show must equal the ffmpeg tool's decode.
#include <algorithm>

#include "clips.hpp"
#include "session.hpp"
#include "stages.hpp"

namespace demo {

using namespace stage;

StageResult Session::animation() {
    StageResult r{.title = "Animation clip between the two black clips, ending with the \"finish\" record"};
    console_.say(std::string("stage 4: \"play ") + kClipOnBox +
                 "\" -> avhub paces the black lead-in, the clip and the black trailer to the decoders, then "
                 "tells the user-interface application \"finish\"");
    Snapshot snap = open_window();
    if (!fifo(std::string("play ") + kClipOnBox + "\n")) r.problems.push_back("avhub did not read \"play\"");
    auto finished = [&] { return flows::records(snap, "ui"); };
    if (!settle(snap, [&] { return !finished().empty(); }, 60s))
        r.problems.push_back("no record reached the user-interface application");
    if (!sync()) r.problems.push_back("avhub did not answer after the clip");

    clips::Demuxed black, clip;
    clips::Digests black_d, clip_d;
    std::string error;
    if (!clips::demux(settings_.cache_dir + "/" + clips::kBlack, black, error) ||
        !clips::demux(settings_.cache_dir + "/" + clips::kAnimation, clip, error) ||
        !clips::framemd5(settings_.cache_dir + "/" + clips::kBlack, black_d, error) ||
        !clips::framemd5(settings_.cache_dir + "/" + clips::kAnimation, clip_d, error)) {
        r.problems.push_back(error);
        close_window(snap);
        return r;
    }
    // Items named by the part of the sequence they belong to.
    auto parts = [](const checks::Packets& lead, const checks::Packets& middle, const char* what) {
        std::vector<checks::Sent> out;
        for (const auto& [items, name] : {std::pair{&lead, "lead-in "}, {&middle, "clip "}, {&lead, "trailer "}}) {
            auto some = checks::numbered(*items, name + std::string(what));
            out.insert(out.end(), some.begin(), some.end());
        }
        return out;
    };
    auto blocks_of = [](const std::string& audio) {
        checks::Packets out;
        for (const auto& b : checks::cut_blocks(audio, kAudioBlock, "")) out.push_back(b.data);
        return out;
    };
    const auto want_v = parts(black.video, clip.video, "packet");
    const auto want_a = parts(blocks_of(black.audio), blocks_of(clip.audio), "block");
    const auto want_pics = parts(black_d.md5, clip_d.md5, "picture");

    auto build = [&] {
        return std::vector<Flow>{
            {.title = "clip video packets: lead-in, clip, trailer -> video decoder",
             .dest = "T_DecStrm:0",
             .sent = want_v,
             .got = flows::chunks(snap, "T_DecStrm", 0)},
            {.title = "clip audio blocks -> audio decoder ch 12",
             .dest = "ado_dec_server_socket:12",
             .sent = want_a,
             .got = flows::chunks(snap, "ado_dec_server_socket", kClipAudioChannel)},
            {.title = "\"finish\" record -> user-interface application",
             .dest = "ui",
             .sent = checks::numbered({padded("finish", 128)}, "record"),
             .got = {.on = checks::arrivals(finished())}},
            {.title = "clip pictures (MD5) = ffmpeg -f framemd5: lead-in, clip, trailer",
             .dest = "picture:T_DecStrm:0",
             .sent = want_pics,
             .got = flows::digests(snap, "picture", "T_DecStrm", 0),
             .compare = checks::Compare::Digests,
             .errors = flows::decode_errors(snap, "T_DecStrm", 0)},
        };
    };
    await_arrivals(snap, build);
    const auto flows = build();
    add_rows(r, flows);

    std::vector<std::string> got_pics;
    for (const auto& a : flows[3].got.on) got_pics.push_back(a.data);
    r.rows.push_back(checks::match_black("lead-in and trailer pictures are black", got_pics, black_d.md5.size(),
                                         clip_d.md5.size(), clips::black_md5(black_d.width, black_d.height)));
    // Lip sync: when the clip's first picture and its first sound reached
    // their decoders, wherever they came in the sequence.
    auto arrival_time = [&](const Flow& f, std::size_t item) {
        const auto m = checks::match_items(f.title, f.sent, f.got.on, f.compare);
        const long j = item < m.arrival_of.size() ? m.arrival_of[item] : -1;
        return j < 0 ? -1LL : f.got.t_us[static_cast<std::size_t>(j)];
    };
    r.rows.push_back(checks::lip_sync("lip sync: clip video against clip audio, as delivered",
                                      arrival_time(flows[0], black.video.size()),
                                      arrival_time(flows[1], black.audio.size() / kAudioBlock)));
    close_window(snap);
    return r;
}

}  // namespace demo
