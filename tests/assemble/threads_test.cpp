// Assemblies on several threads at once share the code tables (built once, const) and give
// the right bytes. The tsan preset runs this under ThreadSanitizer.

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "l3/assemble.h"

namespace {

std::vector<uint8_t> readExample(const std::string& name) {
    std::ifstream in(std::string(EXAMPLES_DIR) + "/" + name, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(Threads, ConcurrentAssembliesGiveTheSameBytes) {
    const std::vector<uint8_t> records = readExample("example.records");
    const std::vector<uint8_t> ancillary = readExample("example.ancillary");
    const std::vector<uint8_t> expected = readExample("example.mp3");
    constexpr int kThreads = 4;
    std::vector<std::vector<uint8_t>> outputs(kThreads);
    std::vector<l3::Status> status(kThreads, l3::Status::io);
    std::vector<std::thread> threads;
    // Each thread runs several assemblies so that they overlap, the first ones included,
    // which race to build the tables.
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int round = 0; round < 3; ++round) {
                outputs[t].clear();
                status[t] = l3::assembleRecords(records.data(), records.size(), ancillary.data(),
                                                ancillary.size(), outputs[t])
                                .status;
            }
        });
    for (std::thread& thread : threads) thread.join();
    for (int t = 0; t < kThreads; ++t) {
        EXPECT_EQ(status[t], l3::Status::ok) << t;
        EXPECT_TRUE(outputs[t] == expected) << "thread " << t;
    }
}

}  // namespace
