// Stage 5: "close": avhub sends its close requests, removes its FIFO and
// ends with status 0.
#include "harness/util.hpp"
#include "session.hpp"
#include "stages.hpp"
#include "wire/codes.hpp"

namespace demo {

using namespace stage;

StageResult Session::close_hub() {
    StageResult r{.title = "\"close\": avhub closes its codec channels and ends with status 0"};
    console_.say("stage 5: \"close\" -> avhub sends its close requests, removes its FIFO and exits");
    Snapshot snap = open_window();
    // Only what avhub sent after it read "close" answers it (a close
    // request of the clip's end may still have been on its way).
    const long long t0 = std::chrono::duration_cast<std::chrono::microseconds>(
                             std::chrono::steady_clock::now().time_since_epoch())
                             .count();
    if (!fifo("close")) r.problems.push_back("avhub did not read \"close\"");
    const auto status = hub_->wait_exit(10s);
    if (!status) r.problems.push_back("avhub did not exit");
    else if (*status != 0) r.problems.push_back("avhub exited with status " + std::to_string(*status));
    if (harness::file_exists(kFifo)) r.problems.push_back(std::string(kFifo) + " is still there");
    // Sanitizer builds report memory and undefined-behaviour faults there.
    const std::string err = hub_->stderr_text();
    if (err.find("Sanitizer") != std::string::npos || err.find("runtime error") != std::string::npos)
        r.problems.push_back("avhub reported a fault on standard error (avhub.stderr.log)");

    const std::pair<const char*, std::uint16_t> expected[] = {{"T_EncCmd", wire::REQ_VDO_CLOSE},
                                                              {"T_DecCmd", wire::REQ_VDO_CLOSE},
                                                              {"ado_enc_cmd_socket", wire::REQ_ADO_CLOSE},
                                                              {"ado_dec_cmd_socket", wire::REQ_ADO_CLOSE}};
    checks::Packets want;
    for (const auto& [ep, code] : expected) want.push_back(close_request(code));
    // Each server's commands in the order avhub sent them; the servers read
    // their sockets in no fixed order among themselves.
    auto got = [&] {
        checks::Packets out;
        for (const auto& [ep, code] : expected)
            for (const auto& e : snap.events())
                if (e.kind == "cmd" && e.get("ep") == ep && e.num("t", 0) >= t0) {
                    const auto raw = boxsim::from_hex(e.get("hex"));
                    out.emplace_back(raw.begin(), raw.end());
                }
        return out;
    };
    settle(snap, [&] { return got().size() >= want.size(); }, 3s);
    add_rows(r, {{.title = "close requests: avhub -> codec servers",
                  .dest = "close",
                  .sent = checks::numbered(want, "request"),
                  .got = {.on = checks::arrivals(got())}}});
    close_window(snap);
    return r;
}

}  // namespace demo
