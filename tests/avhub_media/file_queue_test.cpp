// The file queue ring on its own: capacity, ordering, index reset, slot
// buffer reuse and growth, and the failure results and messages.
#include "file_queue.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

using namespace file_queue;

namespace {

// Reserve, fill with a marker and commit one entry the way the reader does.
std::uint8_t* push(FileQueueRing& q, std::uint32_t len, std::uint32_t due, std::uint8_t marker) {
    std::uint8_t* buf = nullptr;
    EXPECT_EQ(get_file_queue_ptr(&q, &buf, len), 0);
    if (buf == nullptr) return nullptr;
    std::memset(buf, marker, len);
    EXPECT_EQ(en_file_queue(&q, buf, len, 0, due, 0), 0);
    return buf;
}

struct Ring : ::testing::Test {
    FileQueueRing q;
    void TearDown() override { init_file_queue(&q); }
};

TEST_F(Ring, FreshRingIsEmptyAndReportsTypeTwo) {
    EXPECT_FALSE(file_queue_is_not_empty(&q));
    EXPECT_TRUE(file_queue_is_not_full(&q));
    std::uint32_t len = 99, due = 99;
    std::uint8_t type = 99, flag = 77;
    testing::internal::CaptureStdout();
    EXPECT_EQ(rd_file_queue_info(&q, &len, &type, &due, &flag), 1);
    std::uint8_t* buf = nullptr;
    EXPECT_EQ(del_file_queue(&q, &buf, &len), 1);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(len, 0u);
    EXPECT_EQ(type, 2u);
    EXPECT_EQ(due, 0u);
    EXPECT_EQ(flag, 77u) << "flag output is left untouched on an empty ring";
    EXPECT_NE(out.find("Queue Empty 0 0 \n"), std::string::npos) << out;
    EXPECT_NE(out.find(" file_queue.c "), std::string::npos) << out;
    EXPECT_NE(out.find(" : Queue is empty !! \n"), std::string::npos) << out;
}

TEST_F(Ring, HoldsAtMost127EntriesInOrder) {
    for (std::uint32_t i = 0; i < 127; ++i) {
        ASSERT_TRUE(file_queue_is_not_full(&q)) << i;
        push(q, 10 + i, 1000 + i, static_cast<std::uint8_t>(i));
    }
    EXPECT_FALSE(file_queue_is_not_full(&q));

    std::uint8_t* buf = reinterpret_cast<std::uint8_t*>(&q);
    testing::internal::CaptureStdout();
    EXPECT_EQ(get_file_queue_ptr(&q, &buf, 5), 1);
    EXPECT_EQ(buf, nullptr);
    EXPECT_EQ(en_file_queue(&q, nullptr, 5, 0, 1, 0), 1);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find(" : Queue is full ! [127][0]\n"), std::string::npos) << out;
    EXPECT_NE(out.find(" : Queue is full ! \n"), std::string::npos) << out;
    EXPECT_EQ(q.s32Tail, 127);

    for (std::uint32_t i = 0; i < 127; ++i) {
        std::uint32_t len = 0, due = 0;
        std::uint8_t type = 9, flag = 9;
        ASSERT_EQ(rd_file_queue_info(&q, &len, &type, &due, &flag), 0);
        EXPECT_EQ(len, 10 + i);
        EXPECT_EQ(due, 1000 + i);
        EXPECT_EQ(type, 0u);
        EXPECT_EQ(flag, 0u);
        std::uint32_t got_len = 0;
        ASSERT_EQ(del_file_queue(&q, &buf, &got_len), 0);
        EXPECT_EQ(got_len, len);
        EXPECT_EQ(buf[0], static_cast<std::uint8_t>(i));
    }
    EXPECT_FALSE(file_queue_is_not_empty(&q));
    EXPECT_EQ(q.s32Head, 0);
    EXPECT_EQ(q.s32Tail, 0);
}

TEST_F(Ring, InspectionReturnsStoredFieldsAndKeepsEntries) {
    std::uint8_t* buf = nullptr;
    ASSERT_EQ(get_file_queue_ptr(&q, &buf, 30), 0);
    ASSERT_EQ(en_file_queue(&q, buf, 30, 5, 0xDEADBEEF, 7), 0);
    push(q, 40, 1, 1);
    for (int pass = 0; pass < 2; ++pass) {
        std::uint32_t len = 0, due = 0;
        std::uint8_t type = 0, flag = 0;
        ASSERT_EQ(rd_file_queue_info(&q, &len, &type, &due, &flag), 0);
        EXPECT_EQ(len, 30u);
        EXPECT_EQ(type, 5u);
        EXPECT_EQ(due, 0xDEADBEEFu);
        EXPECT_EQ(flag, 7u);
    }
    EXPECT_EQ(q.s32Tail, 2);
    EXPECT_EQ(q.s32Head, 0);
}

TEST_F(Ring, RemovingTheLastEntryResetsIndicesAndWrapsAround) {
    // Walk the indices round the ring with one entry in flight at a time
    // except at the end, so the wrap from 127 to 0 is exercised.
    std::uint8_t* first = push(q, 8, 1, 0xAB);
    EXPECT_EQ(q.s32Tail, 1);
    std::uint8_t* buf = nullptr;
    std::uint32_t len = 0;
    ASSERT_EQ(del_file_queue(&q, &buf, &len), 0);
    EXPECT_EQ(buf, first);
    EXPECT_EQ(len, 8u);
    EXPECT_EQ(buf[7], 0xAB);
    EXPECT_EQ(q.s32Head, 0);
    EXPECT_EQ(q.s32Tail, 0);
    EXPECT_EQ(push(q, 8, 2, 0xCD), first) << "the next entry goes into slot 1 again";

    for (int i = 0; i < 126; ++i) push(q, 4, 3, 0);
    ASSERT_EQ(del_file_queue(&q, &buf, &len), 0);  // head 1, tail 127
    push(q, 4, 4, 0x11);                            // wraps into slot 0
    EXPECT_EQ(q.s32Tail, 0);
    EXPECT_FALSE(file_queue_is_not_full(&q));
    for (int i = 0; i < 126; ++i) ASSERT_EQ(del_file_queue(&q, &buf, &len), 0);
    ASSERT_EQ(del_file_queue(&q, &buf, &len), 0);
    EXPECT_EQ(buf[0], 0x11);
    EXPECT_EQ(q.s32Head, 0);
    EXPECT_EQ(q.s32Tail, 0);
}

TEST_F(Ring, SlotBufferIsReusedAndGrownToTheExactSize) {
    std::uint8_t* b200 = push(q, 200, 1, 0x55);
    std::uint8_t* buf = nullptr;
    std::uint32_t len = 0;
    ASSERT_EQ(del_file_queue(&q, &buf, &len), 0);

    std::uint8_t* b100 = nullptr;
    ASSERT_EQ(get_file_queue_ptr(&q, &b100, 100), 0);
    EXPECT_EQ(b100, b200);
    EXPECT_EQ(b100[150], 0x55) << "old contents are not cleared";
    EXPECT_EQ(q.stSlot[1].u32BufSz, 200u);
    std::uint8_t* b300 = nullptr;
    ASSERT_EQ(get_file_queue_ptr(&q, &b300, 300), 0);
    EXPECT_NE(b300, b200);
    EXPECT_EQ(q.stSlot[1].u32BufSz, 300u);
    EXPECT_EQ(q.s32Tail, 0) << "reservation does not advance the tail";

    init_file_queue(&q);
    for (const FileQueueSlot& slot : q.stSlot) EXPECT_EQ(slot.pu8Buf, nullptr);
    FileQueueRing never_used;
    init_file_queue(&never_used);
    EXPECT_EQ(never_used.s32Head, 0);
    EXPECT_EQ(never_used.s32Tail, 0);
}

}  // namespace
