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
    // Lip sync: when the clip's pictures and sound reached their decoders,
    // each against its place in the clip's timeline. The player sends the
    // sound a container packet at a time, so a packet's first block stands
    // for it.
    auto arrival = [&](const Flow& f, const checks::Matching& m, std::size_t i) {
        return i < m.arrival_of.size() && m.arrival_of[i] >= 0 ? f.got.t_us[static_cast<std::size_t>(m.arrival_of[i])] : -1;
    };
    const auto mv = checks::match_items(flows[0].title, flows[0].sent, flows[0].got.on, flows[0].compare);
    const auto ma = checks::match_items(flows[1].title, flows[1].sent, flows[1].got.on, flows[1].compare);
    std::vector<checks::Timed> video, audio;
    for (std::size_t k = 0; k < clip.video.size(); ++k)
        video.push_back({arrival(flows[0], mv, black.video.size() + k), static_cast<long long>(k) * clip.frame_us});
    const std::size_t lead_blocks = black.audio.size() / kAudioBlock;
    for (std::size_t at : clip.audio_packets) {
        const std::size_t block = (at + kAudioBlock - 1) / kAudioBlock;
        if (clip.audio_bytes_s > 0 && (block + 1) * kAudioBlock <= clip.audio.size())
            audio.push_back({arrival(flows[1], ma, lead_blocks + block),
                             static_cast<long long>(block * kAudioBlock) * 1000000 / clip.audio_bytes_s});
    }
    r.rows.push_back(checks::lip_sync("lip sync: clip video against clip audio, as delivered", video, audio));
    close_window(snap);
    return r;
}

}  // namespace demo
