#pragma once
// The proof that records rebuild their input: an assembler fed every record entry as it is
// made, whose output is compared byte for byte with the frames the entries stand for.
//
// Records travel in batches (the decoded records, their ancillary bit counts and shares,
// and the frame bytes they stand for), so that the check can run beside the decoding on a
// thread of its own (CheckThread) or inline (runCheckBatch). The check also encodes each
// record into its record-file entry, the very bytes it assembles from, so the decoding
// thread neither encodes nor copies them. The assembler's output lags its input by the
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
#include "l3/disassemble.h"
#include "l3/record.h"

namespace l3 {

struct AssemblerState;

struct CheckBatch {
    // records[0, entryCount) are the batch's; the slots after them keep their memory for
    // the next records (see nextRecord).
    std::vector<FrameRecord> records;
    std::vector<int32_t> ancillaryBits;  // per record: the bits of its share
    std::vector<uint8_t> shares;         // their ancillary shares, one after another
    std::vector<uint8_t> expected;       // the input frames they stand for
    size_t entryCount = 0;
    // The input's last batch: after it the output limit becomes frameBytes, the assembly
    // ends, and every frame byte must have been rebuilt.
    bool last = false;
    uint64_t frameBytes = 0;

    void clear() {
        ancillaryBits.clear();
        shares.clear();
        expected.clear();
        entryCount = 0;
        last = false;
    }
};

// The slot the batch's next record is decoded into (counted once entryCount grows).
FrameRecord& nextRecord(CheckBatch& batch);

// Records a decoder puts in one batch before handing it to the check.
inline constexpr size_t kCheckBatchEntries = 64;

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
    Status status = Status::ok;
    std::string message;
};

// Encodes every record of batch, appending its entry to entries, and checks it; false (with
// check.status and check.message set) on the first difference.
bool runCheckBatch(RebuildCheck& check, const CheckBatch& batch, std::vector<uint8_t>& entries);

// Runs the check on a thread of its own. submit() hands a batch over and gives back an
// empty one to fill (at most two wait, so memory stays bounded); takeEntries() hands out
// the checked entries in blocks of kCheckedBlockBytes or more (all of them once the last
// batch is checked); failed() tells, without waiting, that a batch failed; finish() waits
// for every batch and returns the outcome, after which check's fields may be read.
class CheckThread {
public:
    explicit CheckThread(RebuildCheck& check);
    ~CheckThread();
    CheckThread(const CheckThread&) = delete;
    CheckThread& operator=(const CheckThread&) = delete;

    void submit(CheckBatch& batch);
    // Moves the oldest block of checked entries into out when out is empty (out's memory
    // is kept for a later block); otherwise appends every block (after finish()).
    void takeEntries(std::vector<uint8_t>& out);
    bool failed() const { return failed_; }
    bool finish();

private:
    void run();

    RebuildCheck& check_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<CheckBatch> waiting_;
    std::vector<CheckBatch> spare_;
    std::vector<uint8_t> filling_;  // the thread's own: entries checked, not yet handed over
    std::deque<std::vector<uint8_t>> ready_;
    std::vector<std::vector<uint8_t>> emptyBlocks_;
    bool stopping_ = false;
    std::atomic<bool> failed_{false};
    std::thread thread_;
};

}  // namespace l3
