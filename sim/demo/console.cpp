#include "console.hpp"

#include <unistd.h>

#include <fstream>

namespace demo {

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kRedraw = std::chrono::milliseconds(250);
constexpr auto kPlainEvery = std::chrono::seconds(3);

// The value of "key=" in a tab-separated event line, or "".
std::string field(const std::string& line, const std::string& key) {
    const std::string tag = key + "=";
    std::size_t at = line.rfind(tag, 0) == 0 ? 0 : std::string::npos;
    if (at == std::string::npos) {
        at = line.find("\t" + tag);
        if (at == std::string::npos) return {};
        ++at;
    }
    at += tag.size();
    return line.substr(at, line.find('\t', at) - at);
}

}  // namespace

void Traffic::add(const std::string& line, bool clip) {
    const std::string kind = field(line, "ev");
    if (kind == "chunk") {
        const std::string ep = field(line, "ep");
        if (ep == "T_DecStrm") ++video_frames;
        else if (ep == "ado_dec_server_socket") ++audio_blocks;
        else return;
        if (clip) ++clip_packets;
    } else if (kind == "bridge_video") {
        ++video_frames;
        ++bridge_packets;
    } else if (kind == "bridge_sent") {
        ++bridge_packets;
    }
}

Console::Console(std::FILE* out) : out_(out), tty_(::isatty(::fileno(out)) != 0) {}

Console::~Console() { stop(); }

void Console::start(const std::string& events_path) {
    std::lock_guard lock(mu_);
    if (thread_.joinable()) return;
    events_path_ = events_path;
    started_ = Clock::now();
    stopping_ = false;
    thread_ = std::thread([this] { run(); });
}

void Console::stop() {
    {
        std::lock_guard lock(mu_);
        if (!thread_.joinable()) return;
        stopping_ = true;
    }
    cv_.notify_all();
    thread_.join();
    std::lock_guard lock(mu_);
    poll_record();
    draw_locked(true);
}

void Console::stage(int number, int total, const std::string& name) {
    std::lock_guard lock(mu_);
    stage_ = std::to_string(number) + "/" + std::to_string(total) + " " + name;
    clip_stage_ = name.find("animation") != std::string::npos;
}

void Console::say(const std::string& text) {
    std::lock_guard lock(mu_);
    if (tty_) std::fputs("\r\033[K", out_);
    std::fputs(text.c_str(), out_);
    std::fputc('\n', out_);
    std::fflush(out_);
    if (tty_ && thread_.joinable() && !stopping_) draw_locked(false);
}

void Console::run() {
    std::unique_lock lock(mu_);
    while (!stopping_) {
        poll_record();
        const auto now = Clock::now();
        if (tty_ || now - last_plain_ >= kPlainEvery) {
            draw_locked(false);
            last_plain_ = now;
        }
        cv_.wait_for(lock, kRedraw, [this] { return stopping_; });
    }
}

// Reads what the record gained since the last look; an unfinished last line
// waits for the next look.
void Console::poll_record() {
    std::ifstream in(events_path_, std::ios::binary);
    if (!in) return;
    in.seekg(0, std::ios::end);
    const long long size = static_cast<long long>(in.tellg());
    if (size < read_offset_) read_offset_ = 0;  // truncated: a new record
    in.seekg(read_offset_);
    std::string chunk(static_cast<std::size_t>(size - read_offset_), '\0');
    in.read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
    chunk.resize(static_cast<std::size_t>(in.gcount()));
    read_offset_ += static_cast<long long>(chunk.size());
    partial_ += chunk;
    std::size_t from = 0;
    for (std::size_t nl = partial_.find('\n'); nl != std::string::npos; nl = partial_.find('\n', from)) {
        traffic_.add(partial_.substr(from, nl - from), clip_stage_);
        from = nl + 1;
    }
    partial_.erase(0, from);
}

std::string Console::progress_text() const {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started_).count();
    char buf[256];
    std::snprintf(buf, sizeof buf,
                  "[%-22s] %3lld.%lds | video frames %lld | audio blocks %lld | bridge packets %lld | clip packets %lld",
                  stage_.c_str(), static_cast<long long>(ms / 1000), static_cast<long>((ms % 1000) / 100), traffic_.video_frames,
                  traffic_.audio_blocks, traffic_.bridge_packets, traffic_.clip_packets);
    return buf;
}

void Console::draw_locked(bool final_line) {
    if (tty_) {
        std::fputs("\r\033[K", out_);
        std::fputs(progress_text().c_str(), out_);
        if (final_line) std::fputc('\n', out_);
    } else {
        std::fputs(progress_text().c_str(), out_);
        std::fputc('\n', out_);
    }
    std::fflush(out_);
}

}  // namespace demo
