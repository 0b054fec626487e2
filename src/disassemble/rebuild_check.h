#pragma once
// The proof that records rebuild their input: an assembler fed every record entry as it is
// made, whose output is compared byte for byte with the frames the entries stand for.
//
// Entries travel in batches (entries, their ancillary shares and the frame bytes they
// stand for), so that the check can run beside the decoding on a thread of its own
// (CheckThread) or inline (runCheckBatch). The assembler's output lags its input by the
// frames its bit reservoir still holds; the check keeps the frame bytes not yet compared.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "assemble/run_driver.h"

namespace l3 {

struct AssemblerState;

struct CheckBatch {
    std::vector<uint8_t> entries;   // record entries (record and ancillary bit count)
    std::vector<uint8_t> shares;    // their ancillary shares, one after another
    std::vector<uint8_t> expected;  // the input frames they stand for
    size_t entryCount = 0;
    // The input's last batch: after it the output limit becomes frameBytes, the assembly
    // ends, and every frame byte must have been rebuilt.
    bool last = false;
    uint64_t frameBytes = 0;

    void clear() {
        entries.clear();
        shares.clear();
        expected.clear();
        entryCount = 0;
        last = false;
    }
};

struct RebuildCheck {
    RebuildCheck();
    ~RebuildCheck();
    RebuildCheck(const RebuildCheck&) = delete;
    RebuildCheck& operator=(const RebuildCheck&) = delete;

    std::unique_ptr<AssemblerState> assembler;
    OutputStream stream;
    std::vector<uint8_t> rebuilt;
    std::vector<uint8_t> expected;  // frame bytes not yet compared
    size_t expectedPos = 0;
    uint64_t comparedBytes = 0;
    // Set by the first failure: kDisVerify and the message after the input's name.
    int code = 0;
    std::string message;
};

// Checks every entry of batch; false (with check.code and check.message set) on the first
// difference.
bool runCheckBatch(RebuildCheck& check, const CheckBatch& batch);

// Runs the check on a thread of its own. submit() hands a batch over and gives back an
// empty one to fill (at most two wait, so memory stays bounded); failed() tells, without
// waiting, that a batch failed; finish() waits for every batch and returns the outcome,
// after which check's fields may be read.
class CheckThread {
public:
    explicit CheckThread(RebuildCheck& check);
    ~CheckThread();
    CheckThread(const CheckThread&) = delete;
    CheckThread& operator=(const CheckThread&) = delete;

    void submit(CheckBatch& batch);
    bool failed() const { return failed_; }
    bool finish();

private:
    void run();

    RebuildCheck& check_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<CheckBatch> waiting_;
    std::vector<CheckBatch> spare_;
    bool stopping_ = false;
    std::atomic<bool> failed_{false};
    std::thread thread_;
};

}  // namespace l3
