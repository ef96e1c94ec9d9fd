// Bitstream file queue: the producer writes straight into the buffer of the
// slot it is about to fill and the consumer gets that same buffer back, so
// entries are never copied and steady playback allocates nothing. Its
// diagnostics go to standard output only, behind the local time text.
#include "file_queue.hpp"

#include <cstdio>
#include <new>

#include "log.hpp"

namespace file_queue {
namespace {

constexpr char kModule[] = "file_queue.c";

std::int32_t next_index(std::int32_t i) { return (i + 1) & kIndexMask; }

}  // namespace

void init_file_queue(FileQueueRing* ring) {
    ring->s32Head = 0;
    ring->s32Tail = 0;
    for (FileQueueSlot& slot : ring->stSlot) {
        slot.pu8Buf.reset();
        slot.u32BufSz = 0;
    }
}

int file_queue_is_not_full(const FileQueueRing* ring) {
    return next_index(ring->s32Tail) != ring->s32Head ? 1 : 0;
}

int file_queue_is_not_empty(const FileQueueRing* ring) { return ring->s32Head != ring->s32Tail ? 1 : 0; }

int get_file_queue_ptr(FileQueueRing* ring, std::uint8_t** buf, std::uint32_t size) {
    if (!file_queue_is_not_full(ring)) {
        AVHUB_SAY_TM("Queue is full ! [%d][%d]\n", ring->s32Tail, ring->s32Head);
        *buf = nullptr;
        return 1;
    }
    FileQueueSlot& slot = ring->stSlot[static_cast<std::size_t>(next_index(ring->s32Tail))];
    if (!slot.pu8Buf || slot.u32BufSz < size) {
        // The new buffer is taken before the old one goes, so a failed
        // allocation leaves the slot as it was.
        std::unique_ptr<std::uint8_t[]> grown(new (std::nothrow) std::uint8_t[size]);
        if (!grown) {
            AVHUB_SAY_TM("Queue buffer alloc fail [%u]\n", size);
            *buf = nullptr;
            return 1;
        }
        slot.pu8Buf = std::move(grown);
        slot.u32BufSz = size;
    }
    *buf = slot.pu8Buf.get();
    return 0;
}

int en_file_queue(FileQueueRing* ring, const std::uint8_t* /*buf*/, std::uint32_t len, std::uint8_t type,
                  std::uint32_t tm_stamp, std::uint8_t flag) {
    if (!file_queue_is_not_full(ring)) {
        AVHUB_SAY_TM("Queue is full ! \n");
        return 1;
    }
    ring->s32Tail = next_index(ring->s32Tail);
    FileQueueSlot& slot = ring->stSlot[static_cast<std::size_t>(ring->s32Tail)];
    slot.u32Len = len;
    slot.u32TmStamp = tm_stamp;
    slot.u8Type = type;
    slot.u8Flag = flag;
    return 0;
}

int rd_file_queue_info(const FileQueueRing* ring, std::uint32_t* len, std::uint8_t* type,
                       std::uint32_t* tm_stamp, std::uint8_t* flag) {
    if (!file_queue_is_not_empty(ring)) {
        std::printf("Queue Empty %d %d \n", ring->s32Head, ring->s32Head);
        std::fflush(stdout);
        *len = 0;
        *type = kTypeEmpty;
        *tm_stamp = 0;
        return 1;
    }
    const FileQueueSlot& slot = ring->stSlot[static_cast<std::size_t>(next_index(ring->s32Head))];
    *len = slot.u32Len;
    *type = slot.u8Type;
    *tm_stamp = slot.u32TmStamp;
    *flag = slot.u8Flag;
    return 0;
}

int del_file_queue(FileQueueRing* ring, std::uint8_t** buf, std::uint32_t* len) {
    if (!file_queue_is_not_empty(ring)) {
        AVHUB_SAY_TM("Queue is empty !! \n");
        return 1;
    }
    ring->s32Head = next_index(ring->s32Head);
    const FileQueueSlot& slot = ring->stSlot[static_cast<std::size_t>(ring->s32Head)];
    *buf = slot.pu8Buf.get();
    *len = slot.u32Len;
    // An emptied ring starts over at slot 1.
    if (ring->s32Head == ring->s32Tail) {
        ring->s32Head = 0;
        ring->s32Tail = 0;
    }
    return 0;
}

}  // namespace file_queue
