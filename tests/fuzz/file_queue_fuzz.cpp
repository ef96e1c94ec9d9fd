// The bitstream file queue under random sequences of producer and consumer
// steps, against a plain FIFO model: entries come out in order with their
// bytes, length, type, time stamp and flag intact; full and empty are
// reported exactly when the model says so.
#include <deque>

#include "file_queue.hpp"
#include "fuzz_util.hpp"

namespace {

using namespace file_queue;

struct Entry {
    fuzz::Bytes bytes;
    std::uint8_t type;
    std::uint32_t tm;
    std::uint8_t flag;
};

// Entries hold at most 127 at a time (one slot always stays empty).
constexpr std::size_t kCapacity = kSlotCount - 1;
// Largest buffer asked for, so 128 grown slots stay small.
constexpr std::uint32_t kMaxSize = 4096;

FileQueueRing ring;

fuzz::Bytes fill(std::uint32_t len, std::uint8_t seed) {
    fuzz::Bytes b(len);
    for (std::uint32_t i = 0; i < len; ++i) b[i] = static_cast<std::uint8_t>(seed + i * 31 + (i >> 8));
    return b;
}

void produce(fuzz::Reader& in, std::deque<Entry>& model) {
    const std::uint32_t size = in.u16() % (kMaxSize + 1);
    const std::uint32_t len = size == 0 ? 0 : in.u16() % (size + 1);
    Entry e{fill(len, in.byte()), in.byte(), in.u32(), in.byte()};
    FUZZ_CHECK(file_queue_is_not_full(&ring) == (model.size() < kCapacity ? 1 : 0));

    std::uint8_t* buf = nullptr;
    const int got = get_file_queue_ptr(&ring, &buf, size);
    if (model.size() == kCapacity) {
        FUZZ_CHECK(got == 1 && buf == nullptr);
        FUZZ_CHECK(en_file_queue(&ring, nullptr, len, e.type, e.tm, e.flag) == 1);
        return;
    }
    FUZZ_CHECK(got == 0 && buf != nullptr);
    std::copy(e.bytes.begin(), e.bytes.end(), buf);
    FUZZ_CHECK(en_file_queue(&ring, buf, len, e.type, e.tm, e.flag) == 0);
    model.push_back(std::move(e));
}

void consume(std::deque<Entry>& model) {
    FUZZ_CHECK(file_queue_is_not_empty(&ring) == (model.empty() ? 0 : 1));
    std::uint32_t len = 1;
    std::uint8_t type = 0, flag = 0;
    std::uint32_t tm = 1;
    const int info = rd_file_queue_info(&ring, &len, &type, &tm, &flag);
    std::uint8_t* buf = nullptr;
    std::uint32_t dlen = 0;
    if (model.empty()) {
        FUZZ_CHECK(info == 1 && len == 0 && type == kTypeEmpty && tm == 0);
        FUZZ_CHECK(del_file_queue(&ring, &buf, &dlen) == 1);
        return;
    }
    const Entry& e = model.front();
    FUZZ_CHECK(info == 0);
    FUZZ_CHECK(len == e.bytes.size() && type == e.type && tm == e.tm && flag == e.flag);
    FUZZ_CHECK(del_file_queue(&ring, &buf, &dlen) == 0);
    FUZZ_CHECK(dlen == e.bytes.size());
    FUZZ_CHECK(dlen == 0 || (buf != nullptr && std::equal(e.bytes.begin(), e.bytes.end(), buf)));
    model.pop_front();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Reader in(data, size);
    std::deque<Entry> model;
    init_file_queue(&ring);
    while (!in.empty()) {
        const std::uint8_t op = in.byte();
        // Runs of steps let the fuzzer fill and empty the ring with short inputs.
        const int count = 1 + (op >> 3);
        for (int i = 0; i < count; ++i) {
            switch (op & 7) {
            case 0: case 1: case 2: produce(in, model); break;
            case 3: case 4: case 5: consume(model); break;
            case 6:
                // Starting over: the ring is empty again, whatever it held.
                init_file_queue(&ring);
                model.clear();
                break;
            default:
                FUZZ_CHECK(file_queue_is_not_empty(&ring) == (model.empty() ? 0 : 1));
                FUZZ_CHECK(file_queue_is_not_full(&ring) == (model.size() < kCapacity ? 1 : 0));
                break;
            }
        }
    }
    return 0;
}
