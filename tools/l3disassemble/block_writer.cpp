#include "l3disassemble/block_writer.h"

namespace l3disassemble {

void BlockWriter::submit(Output& out, std::vector<uint8_t>& block) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return jobs_.size() < kPendingBlocks; });
    jobs_.push_back({&out, std::move(block)});
    block.clear();
    if (!spare_.empty()) {
        block.swap(spare_.back());
        spare_.pop_back();
    }
    changed_.notify_all();
}

void BlockWriter::finish() {
    {
        std::lock_guard lock(mutex_);
        if (stopping_) return;
        stopping_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

void BlockWriter::run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
        if (jobs_.empty()) return;
        Job job = std::move(jobs_.front());
        lock.unlock();
        if (!writeOut(*job.out, job.bytes.data(), job.bytes.size())) failed_ = true;
        job.bytes.clear();
        lock.lock();
        jobs_.pop_front();
        if (spare_.size() < kPendingBlocks) spare_.push_back(std::move(job.bytes));
        changed_.notify_all();
    }
}

}  // namespace l3disassemble
