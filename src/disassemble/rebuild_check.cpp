#include "disassemble/rebuild_check.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "assemble/assembler_state.h"
#include "format/byte_order.h"
#include "l3/frame_record.h"
#include "l3/disassemble.h"

namespace l3 {

namespace {

// The checking assembler starts with this output countdown and gets the true one before
// the last batch ends.
constexpr uint32_t kOpenOutputLimit = 0xFFFFFFFF;
// Compared frame bytes are dropped from the front once this many gather.
constexpr size_t kCompactBytes = size_t{1} << 20;

bool fail(RebuildCheck& c, uint64_t at, const char* detail) {
    char text[120];
    std::snprintf(text, sizeof text,
                  "verification failed: the records rebuild other bytes than the input's, "
                  "first difference at byte %" PRIu64 " of the carried bytes",
                  at);
    c.status = Status::verify;
    c.message = text + std::string(detail);
    return false;
}

// Compares what the assembler sent so far with the frames it stands for.
bool compareRebuilt(RebuildCheck& c) {
    const size_t n = c.rebuilt.size();
    if (n == 0) return true;
    const size_t pending = c.expected.size() - c.expectedPos;
    const size_t common = std::min(n, pending);
    const uint8_t* want = c.expected.data() + c.expectedPos;
    if (std::memcmp(c.rebuilt.data(), want, common) != 0 || n > pending) {
        size_t at = 0;
        while (at < common && c.rebuilt[at] == want[at]) ++at;
        return fail(c, c.comparedBytes + at, "");
    }
    c.expectedPos += n;
    c.comparedBytes += n;
    c.rebuilt.clear();
    return true;
}

bool checkEntry(RebuildCheck& c, const uint8_t* entry, const uint8_t* share) {
    AssemblerState& state = *c.assembler;
    decodeUsedParts(entry, state.record);
    const int32_t ancillaryBits = static_cast<int32_t>(loadLe32(entry + kRecordBytes));
    const RecordProblem problem =
        assembleRecord(state, ancillaryBits, share, shareBytes(ancillaryBits));
    if (problem.field) {
        char detail[160];
        std::snprintf(detail, sizeof detail, " (the assembler refuses %s %" PRId64 ": %s)",
                      problem.field, problem.value, problem.reason);
        return fail(c, c.comparedBytes, detail);
    }
    return compareRebuilt(c);
}

// Appends the entries of a batch's records, encoded in place; returns the first.
uint8_t* appendEntries(std::vector<uint8_t>& entries, const CheckBatch& batch) {
    const size_t at = entries.size();
    entries.resize(at + batch.entryCount * kRecordEntryBytes);
    uint8_t* first = entries.data() + at;
    for (size_t k = 0; k < batch.entryCount; ++k) {
        uint8_t* entry = first + k * kRecordEntryBytes;
        encodeFrameRecord(batch.records[k], entry);
        storeLe32(entry + kRecordBytes, static_cast<uint32_t>(batch.ancillaryBits[k]));
    }
    return first;
}

}  // namespace

FrameRecord& nextRecord(CheckBatch& batch) {
    if (batch.records.size() <= batch.entryCount) {
        if (batch.records.capacity() == 0) batch.records.reserve(kCheckBatchEntries);
        batch.records.resize(batch.entryCount + 1);
    }
    return batch.records[batch.entryCount];
}

RebuildCheck::RebuildCheck() : assembler(std::make_unique<AssemblerState>()) {
    openMemoryOutput(stream, &rebuilt);
    beginAssembly(*assembler, &stream, kOpenOutputLimit);
}

RebuildCheck::~RebuildCheck() = default;

bool runCheckBatch(RebuildCheck& c, const CheckBatch& batch, std::vector<uint8_t>& entries) {
    if (c.status != Status::ok) return false;
    if (c.expectedPos >= kCompactBytes) {
        c.expected.erase(c.expected.begin(),
                         c.expected.begin() + static_cast<std::ptrdiff_t>(c.expectedPos));
        c.expectedPos = 0;
    }
    c.expected.insert(c.expected.end(), batch.expected.begin(), batch.expected.end());
    const uint8_t* entry = appendEntries(entries, batch);
    const uint8_t* share = batch.shares.data();
    for (size_t k = 0; k < batch.entryCount; ++k, entry += kRecordEntryBytes) {
        if (!checkEntry(c, entry, share)) return false;
        share += shareBytes(batch.ancillaryBits[k]);
    }
    if (!batch.last) return true;
    AssemblerState& state = *c.assembler;
    state.outputLimit -= static_cast<uint32_t>(kOpenOutputLimit - batch.frameBytes);
    endAssembly(state);
    flushOutput(c.stream);
    if (!compareRebuilt(c)) return false;
    if (c.comparedBytes != batch.frameBytes)
        return fail(c, c.comparedBytes, " (the records rebuild fewer bytes)");
    return true;
}

CheckThread::CheckThread(RebuildCheck& check) : check_(check), thread_([this] { run(); }) {}

CheckThread::~CheckThread() {
    finish();
}

void CheckThread::submit(CheckBatch& batch) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return waiting_.size() < 2; });
    waiting_.push_back(std::move(batch));
    batch = CheckBatch{};
    if (!spare_.empty()) {
        batch = std::move(spare_.back());
        spare_.pop_back();
    }
    changed_.notify_all();
}

void CheckThread::takeEntries(std::vector<uint8_t>& out) {
    std::lock_guard lock(mutex_);
    if (out.empty()) {
        if (ready_.empty()) return;
        out.swap(ready_.front());  // out's memory goes back to the thread
        if (emptyBlocks_.empty()) emptyBlocks_.push_back(std::move(ready_.front()));
        ready_.pop_front();
        return;
    }
    for (std::vector<uint8_t>& block : ready_) out.insert(out.end(), block.begin(), block.end());
    ready_.clear();
}

bool CheckThread::finish() {
    {
        std::lock_guard lock(mutex_);
        if (!stopping_) {
            stopping_ = true;
            changed_.notify_all();
        }
    }
    if (thread_.joinable()) thread_.join();
    return !failed_;
}

void CheckThread::run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return stopping_ || !waiting_.empty(); });
        if (waiting_.empty()) return;
        const CheckBatch& batch = waiting_.front();  // stays in place while others join
        const bool last = batch.last;
        lock.unlock();
        const bool ok = !failed_ && runCheckBatch(check_, batch, filling_);
        lock.lock();
        if (!ok) failed_ = true;
        if (ok && (filling_.size() >= kCheckedBlockBytes || (last && !filling_.empty()))) {
            ready_.push_back(std::move(filling_));
            filling_.clear();
            if (!emptyBlocks_.empty()) {
                filling_.swap(emptyBlocks_.back());
                emptyBlocks_.pop_back();
            }
        }
        CheckBatch done = std::move(waiting_.front());
        waiting_.pop_front();
        done.clear();
        if (spare_.size() < 2) spare_.push_back(std::move(done));
        changed_.notify_all();
    }
}

}  // namespace l3
