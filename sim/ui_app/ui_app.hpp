// The box's user-interface application, as far as avhub sees it: the FIFO
// "/dev/tivane_in" that receives 128-byte, zero-padded text records.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "core/role.hpp"

namespace sim::ui_app {

inline constexpr const char* kFifoPath = "/dev/tivane_in";
inline constexpr std::size_t kRecordSize = 128;

// Records every complete 128-byte record as ev=ui (text up to the first zero
// byte, and all 128 bytes in hex). Creates the FIFO when it is absent and
// removes it again at exit only in that case.
class UiAppRole : public core::Role {
public:
    explicit UiAppRole(core::Context& ctx) : ctx_(ctx) {}
    ~UiAppRole() override;
    int start() override;
    void summary() override;

private:
    void on_readable();

    core::Context& ctx_;
    core::Fd fd_;
    bool created_ = false;
    std::array<std::uint8_t, kRecordSize> rec_{};
    std::size_t rec_len_ = 0;
    int capture_ = 0;  // conversation of the FIFO in the capture
    long long records_ = 0;
};

}  // namespace sim::ui_app
