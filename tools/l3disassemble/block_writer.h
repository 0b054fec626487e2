#pragma once
// Writes output blocks on a thread of its own, so that the kernel's copying of a block into
// the page cache overlaps the decoding of the next one. At most kPendingBlocks blocks wait;
// submit() blocks beyond that, so memory stays bounded. An output's error is set by the
// writer and read only after finish().

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "l3disassemble/output_file.h"

namespace l3disassemble {

class BlockWriter {
public:
    BlockWriter() : thread_([this] { run(); }) {}
    ~BlockWriter() { finish(); }
    BlockWriter(const BlockWriter&) = delete;
    BlockWriter& operator=(const BlockWriter&) = delete;

    // Takes block's bytes (leaving block empty, its capacity reused from a written block).
    void submit(Output& out, std::vector<uint8_t>& block);

    // Waits until every block is written and stops the thread.
    void finish();

    // True once a write failed (the outputs' errors are then readable after finish()).
    bool failed() const { return failed_; }

private:
    static constexpr size_t kPendingBlocks = 2;
    struct Job {
        Output* out;
        std::vector<uint8_t> bytes;
    };

    void run();

    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Job> jobs_;
    std::vector<std::vector<uint8_t>> spare_;
    bool stopping_ = false;
    std::atomic<bool> failed_{false};
    std::thread thread_;
};

}  // namespace l3disassemble
