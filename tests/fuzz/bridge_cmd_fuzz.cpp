// The bridge command handler on a command connection of either kind, fed
// any bytes in reads of any size. Commands are taken only whole; each gets
// at most one answer, and an answer is a whole record with a zero magic,
// agree 1, the command's channel and nothing else. A code is always
// answered the same way; requests get their acknowledgement, the bridge's
// own acknowledgements and unknown codes get nothing.
#include <sys/ioctl.h>

#include <map>

#include "box_test.hpp"
#include "fuzz_util.hpp"
#include "stream_writer.hpp"
#include "wire/bytes.hpp"
#include "wire/codes.hpp"

namespace {

using fuzz::Bytes;
constexpr std::size_t kCmd = wire::kCodecCmdSize;

// Answers seen so far, by command code: the acknowledgement code, or -1.
std::map<std::uint16_t, int> answers = {
    {wire::REQ_VDO_ENC, wire::ACK_VDO_ENC},
    {wire::REQ_SET_SID, wire::ACK_SET_SID},
    {wire::REQ_START_TEST_CALL, wire::ACK_START_TEST_CALL},
    {wire::ACK_VDO_ENC, -1},
    {wire::ACK_SET_SID, -1},
    {0, -1},
};

void check_answer(std::span<const std::uint8_t, kCmd> cmd, const Bytes& reply) {
    const std::uint16_t code = wire::load_be16(&cmd[4]);
    int answer = -1;
    if (!reply.empty()) {
        FUZZ_CHECK(reply.size() == kCmd);
        answer = wire::load_be16(&reply[4]);
        for (std::size_t i = 0; i < kCmd; ++i) {
            std::uint8_t want = 0;
            if (i == 4 || i == 5) want = reply[i];
            if (i == wire::kOffAgreeFlag) want = 1;
            if (i == wire::kOffChanIdx) want = cmd[wire::kOffChanIdx];
            FUZZ_CHECK(reply[i] == want);
        }
        FUZZ_CHECK(answer != code);
    }
    const auto [it, fresh] = answers.emplace(code, answer);
    FUZZ_CHECK(fresh || it->second == answer);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 150000) return 0;
    fuzz::Reader in(data, size);
    const std::uint8_t cfg = in.byte();
    const int kind = cfg & 1 ? avhub::kKindAudio : avhub::kKindVideo;
    const auto slot = static_cast<std::size_t>((cfg >> 1) % avhub::kBdgMaxClients);
    auto& table = kind == avhub::kKindVideo ? avhub::BdgServer_t.stVdoCmd : avhub::BdgServer_t.stAdoCmd;

    fuzz::Pair conn;
    table[slot].s32Fd = conn.fd[0];
    Bytes sent;
    std::size_t taken = 0;
    while (!in.empty()) {
        auto chunk = in.take(1 + in.byte() % 160);
        FUZZ_CHECK(fuzz::send_some(conn.fd[1], chunk) == chunk.size());
        sent.insert(sent.end(), chunk.begin(), chunk.end());
        for (;;) {
            avhub::expansion_box_cmd_proc(kind);
            stream_writer::stream_flush_pending();
            Bytes reply;
            fuzz::drain(conn.fd[1], reply);
            int waiting = 0;
            FUZZ_CHECK(::ioctl(conn.fd[0], FIONREAD, &waiting) == 0);
            const std::size_t nowTaken = sent.size() - static_cast<std::size_t>(waiting);
            // One whole command per step, and only when one is there.
            FUZZ_CHECK(nowTaken == taken || nowTaken == taken + kCmd);
            if (nowTaken == taken) {
                FUZZ_CHECK(reply.empty() && static_cast<std::size_t>(waiting) < kCmd);
                break;
            }
            check_answer(std::span<const std::uint8_t, kCmd>(sent.data() + taken, kCmd), reply);
            taken = nowTaken;
        }
    }
    stream_writer::stream_forget(conn.fd[0]);
    table[slot].s32Fd = 0;
    return 0;
}
