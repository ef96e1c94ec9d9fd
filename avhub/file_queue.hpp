// Bitstream file queue: a ring of 128 reusable slot buffers holding framed
// packets between the clip reader and the decoder pacing step.
#pragma once

#include <array>
#include <cstdint>
#include <memory>

namespace file_queue {

inline constexpr std::int32_t kSlotCount = 128;
inline constexpr std::int32_t kIndexMask = kSlotCount - 1;

// Entry type reported for an empty ring.
inline constexpr std::uint8_t kTypeEmpty = 2;

struct FileQueueSlot {
    // Owned by the slot, not by the entry: reused by later entries in this
    // slot and freed only by init_file_queue.
    std::unique_ptr<std::uint8_t[]> pu8Buf;
    std::uint32_t u32Len = 0;
    std::uint32_t u32BufSz = 0;
    std::uint32_t u32TmStamp = 0;
    std::uint8_t u8Type = 0;
    std::uint8_t u8Flag = 0;
};

// Entries live in slots s32Head+1 .. s32Tail (mod 128), oldest first; one
// slot always stays empty so that full and empty can be told apart.
struct FileQueueRing {
    std::int32_t s32Head = 0;
    std::int32_t s32Tail = 0;
    std::array<FileQueueSlot, kSlotCount> stSlot{};
};

// Results: 0 success, 1 failure (full or empty ring, allocation failure).
void init_file_queue(FileQueueRing* ring);
int file_queue_is_not_full(const FileQueueRing* ring);
int file_queue_is_not_empty(const FileQueueRing* ring);
int get_file_queue_ptr(FileQueueRing* ring, std::uint8_t** buf, std::uint32_t size);
int en_file_queue(FileQueueRing* ring, const std::uint8_t* buf, std::uint32_t len, std::uint8_t type,
                  std::uint32_t tm_stamp, std::uint8_t flag);
int rd_file_queue_info(const FileQueueRing* ring, std::uint32_t* len, std::uint8_t* type,
                       std::uint32_t* tm_stamp, std::uint8_t* flag);
int del_file_queue(FileQueueRing* ring, std::uint8_t** buf, std::uint32_t* len);

}  // namespace file_queue
