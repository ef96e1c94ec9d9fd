// Stage 3: the DTMF tone of one key: the indicator commands through panectl
// to the quad display server, and the tone file's blocks to audio decoder
// channel 1, decoded there as the file decodes.
#include <algorithm>

#include "clips.hpp"
#include "harness/util.hpp"
#include "media/codecs.hpp"
#include "session.hpp"
#include "stages.hpp"
#include "wire/codes.hpp"

namespace demo {

using namespace stage;

StageResult Session::dtmf_tone() {
    StageResult r{.title = "DTMF tone of key 5: indicator on through panectl, tone to audio decoder channel 1, "
                           "indicator off"};
    console_.say("stage 3: \"dtmf 5\" -> avhub runs panectl against the quad display server and plays the key's "
                 "tone file");
    Snapshot snap = open_window();
    if (!fifo("dtmf " + std::to_string(kToneKey)) || !sync()) r.problems.push_back("the tone did not end");
    const checks::Packets want_quad{padded("o t 9 1 ", 32), padded("o t 5 1 ", 32), padded("o t 9 0 ", 32),
                                    padded("o t 5 0 ", 32)};
    const std::string tone = harness::read_file(settings_.cache_dir + "/" + clips::tone_file(kToneKey)).value_or("");

    // The tone file itself, decoded block by block as the decoder must.
    std::vector<checks::Sent> want_snd;
    std::vector<std::int16_t> file_pcm, block_pcm;
    std::string why;
    if (auto dec = sim::media::AudioDecoder::open(wire::STD_G711U, why)) {
        for (std::size_t at = 0; at + kAudioBlock <= tone.size(); at += kAudioBlock) {
            block_pcm.clear();
            dec->decode({reinterpret_cast<const std::uint8_t*>(tone.data()) + at, kAudioBlock}, block_pcm);
            want_snd.push_back({.label = "block " + std::to_string(at / kAudioBlock),
                                .data = sim::media::md5_hex({reinterpret_cast<const std::uint8_t*>(block_pcm.data()),
                                                             block_pcm.size() * sizeof(std::int16_t)})});
            file_pcm.insert(file_pcm.end(), block_pcm.begin(), block_pcm.end());
        }
    } else {
        r.problems.push_back(why);
    }

    auto build = [&] {
        return std::vector<Flow>{
            {.title = "tone blocks: file -> avhub -> audio decoder ch 1",
             .dest = "ado_dec_server_socket:1",
             .sent = checks::cut_blocks(tone, kAudioBlock, "block"),
             .got = flows::chunks(snap, "ado_dec_server_socket", kToneChannel)},
            {.title = "display commands: panectl -> quad display",
             .dest = "quad",
             .sent = checks::numbered(want_quad, "command"),
             .got = {.on = checks::arrivals(flows::records(snap, "quad"))}},
            {.title = "decoded tone blocks (MD5): file = audio decoder ch 1",
             .dest = "sound:ado_dec_server_socket:1",
             .sent = want_snd,
             .got = flows::digests(snap, "sound", "ado_dec_server_socket", kToneChannel),
             .compare = checks::Compare::Digests,
             .errors = flows::decode_errors(snap, "ado_dec_server_socket", kToneChannel)},
        };
    };
    // The decoder brings its WAV file up to date when the channel closes.
    auto wav_done = [&] {
        return std::any_of(snap.events().begin(), snap.events().end(), [](const boxsim::Event& e) {
            return e.kind == "decoder" && e.get("ep") == "ado_dec_server_socket" && e.num("ch") == kToneChannel &&
                   e.get("state") == "end";
        });
    };
    await_arrivals(snap, build, wav_done);
    const auto flows = build();
    add_rows(r, {flows[0], flows[1]});
    const std::string key = std::to_string(kToneKey);
    r.rows.push_back(checks::match_key("tone file " + clips::tone_file(kToneKey) + " is DTMF key " + key + " (Goertzel)",
                                       kToneKey, file_pcm, 8000));
    add_rows(r, {flows[2]});
    // Read after the snapshot that saw the decoder bring it up to date.
    std::vector<std::int16_t> wav_pcm;
    int rate = 0;
    const std::string wav = settings_.run_dir + "/records/ado_dec_server_socket.ch" + std::to_string(kToneChannel) + ".wav";
    if (!checks::parse_wav(harness::read_file(wav).value_or(""), wav_pcm, rate)) r.problems.push_back("no WAV file " + wav);
    r.rows.push_back(checks::match_key("decoded tone on audio decoder ch 1 is DTMF key " + key + " (Goertzel)",
                                       kToneKey, wav_pcm, rate));
    close_window(snap);
    return r;
}

}  // namespace demo
