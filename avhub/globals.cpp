// Definitions of the process-wide state and the millisecond clock.
#include "globals.hpp"

#include <ctime>

namespace avhub {

std::int32_t CodecType = 0;
std::int32_t Width = 0;
std::int32_t Height = 0;
std::int32_t FrameRate = 0;
std::int32_t BitRate = 0;
std::int32_t AdoType = 0;
std::int32_t TestTime = 0;
std::int32_t Recording = 0;
std::int32_t DelayBuf = 0;

int s32VdoEncSockFd = 0;
int s32VdoEncCmdSockFd = 0;
int s32VdoDecSockFd = 0;
int s32VdoDecCmdSockFd = 0;
int s32AdoEncSockFd = 0;
int s32AdoEncCmdSockFd = 0;
int s32AdoDecSockFd = 0;
int s32AdoDecCmdSockFd = 0;
int s32H239EncSockFd = 0;
int s32H239EncCmdSockFd = 0;
int s32H239DecSockFd = 0;
int s32H239DecCmdSockFd = 0;

std::span<std::uint8_t> u8VdoSockBuf;
std::span<std::uint8_t> u8AdoSockBuf;
std::span<std::uint8_t> u8AdoSockBuf2;
std::span<std::uint8_t> u8H239SockBuf;
std::uint32_t u32VdoSockBuflen = 0;
std::uint32_t u32AdoSockBuflen = 0;
std::uint32_t u32H239SockBuflen = 0;
std::uint8_t u8VdoSockStatus = 0;
std::uint8_t u8AdoSockStatus = 0;

std::span<std::uint8_t> u8MainVdoBuf;
std::uint32_t u32MainVdoBufLen = 0;
std::array<std::span<std::uint8_t>, kMainAdoBufCount> u8MainAdoBuf;
std::array<std::uint32_t, kMainAdoBufCount> u32MainAdoBufLen{};

std::span<std::uint8_t> pu8AdoBuf;

std::uint32_t u32VdoEnc0On = 0;
std::uint32_t u32VdoEnc1On = 0;
std::uint32_t u32RelayVdoChan = 0;
std::uint32_t u32AdoBlkSize = 0;
std::uint32_t u32AdoSeqNum = 0;

std::uint32_t u32VcbMode = 0;
std::uint32_t u32TestEndTm = 0;

std::FILE* pRecFile = nullptr;

int s32FifoFd = 0;
pollfd MainPollFd{};

std::int32_t get_msec_count() {
    // The origin is whole seconds, as the first reading's second; the
    // monotonic clock keeps the count steady when the wall clock is set.
    static bool have_origin = false;
    static std::time_t origin = 0;
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    if (!have_origin) {
        origin = now.tv_sec;
        have_origin = true;
    }
    const auto ms = static_cast<std::uint32_t>(static_cast<std::uint64_t>(now.tv_sec - origin) * 1000u +
                                               static_cast<std::uint64_t>(now.tv_nsec / 1000000));
    const auto count = static_cast<std::int32_t>(ms);
    return count == -1 ? 0 : count;
}

}  // namespace avhub
