// The public assembly API gives the bytes and the messages of l3assemble.

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "l3/assemble.h"
#include "support/record_file.h"

namespace {

using l3test::TempDir;

const std::string kExamples = EXAMPLES_DIR;

std::vector<uint8_t> readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

struct Example {
    std::vector<uint8_t> records = readAll(kExamples + "/example.records");
    std::vector<uint8_t> ancillary = readAll(kExamples + "/example.ancillary");
    std::vector<uint8_t> stream = readAll(kExamples + "/example.mp3");
};

bool appendTo(void* context, const uint8_t* bytes, size_t count) {
    auto* out = static_cast<std::vector<uint8_t>*>(context);
    out->insert(out->end(), bytes, bytes + count);
    return true;
}

bool refuse(void*, const uint8_t*, size_t) {
    return false;
}

// Feeds a record file to an Assembler the way the record file's reader takes it apart.
l3::AssembleResult streamRecords(const std::vector<uint8_t>& records,
                                 const std::vector<uint8_t>& ancillary, l3::ByteSink sink,
                                 void* context) {
    const l3::RecordFileHead head = l3::decodeRecordFileHead(records.data());
    l3::Assembler assembler(sink, context, head.outputLimit);
    l3::FrameRecord record;
    size_t share = 0;
    for (int32_t k = 0; k < head.frameCount; ++k) {
        const uint8_t* entry = records.data() + l3::kHeadBytes + k * l3::kRecordEntryBytes;
        l3::decodeFrameRecord(entry, record);
        int32_t bits;
        std::memcpy(&bits, entry + l3::kRecordBytes, 4);
        const size_t take =
            bits > 0 ? std::min<size_t>({static_cast<size_t>(bits), 1024, ancillary.size() - share})
                     : 0;
        if (!assembler.addFrame(record, bits, ancillary.data() + share, take))
            return assembler.result();
        share += take;
    }
    assembler.finish(ancillary.data() + share, ancillary.size() - share);
    return assembler.result();
}

TEST(AssembleApi, EveryEntryPointRebuildsTheExample) {
    const Example ex;
    std::vector<uint8_t> inMemory;
    const l3::AssembleResult memory = l3::assembleRecords(
        ex.records.data(), ex.records.size(), ex.ancillary.data(), ex.ancillary.size(), inMemory);
    EXPECT_EQ(memory.status, l3::Status::ok) << memory.message;
    EXPECT_TRUE(inMemory == ex.stream);

    std::vector<uint8_t> streamed;
    const l3::AssembleResult fed = streamRecords(ex.records, ex.ancillary, appendTo, &streamed);
    EXPECT_EQ(fed.status, l3::Status::ok) << fed.message;
    EXPECT_TRUE(streamed == ex.stream);

    TempDir dir;
    const l3::AssembleResult files = l3::assembleFiles(
        kExamples + "/example.records", kExamples + "/example.ancillary", dir.path("out.mp3"));
    EXPECT_EQ(files.status, l3::Status::ok) << files.message;
    EXPECT_TRUE(dir.read("out.mp3") == ex.stream);
}

// The API reports the same status and text as the program, for each kind of failure.
TEST(AssembleApi, FailuresCarryTheProgramsStatusAndMessage) {
    const Example ex;
    TempDir dir;
    std::vector<uint8_t> cut(ex.records.begin(), ex.records.begin() + 12 + 3 * 5614 + 100);
    dir.write("cut.records", cut);
    std::vector<uint8_t> bad = ex.records;
    bad[12 + 2 * 5614 + 1] = 0x00;  // frame 2's header loses its bitrate (index 0)
    dir.write("bad.records", bad);

    struct Case {
        std::string args[3];
        l3::Status status;
        int exitCode;  // l3assemble's
    };
    const Case cases[] = {
        {{dir.path("absent.records"), "nul", "nul"}, l3::Status::io, 2},
        {{dir.path("cut.records"), kExamples + "/example.ancillary", dir.path("o1.mp3")},
         l3::Status::cutShort, 3},
        {{dir.path("bad.records"), kExamples + "/example.ancillary", dir.path("o2.mp3")},
         l3::Status::badRecord, 4},
        {{dir.path("cut.records"), "nul", dir.path("cut.records")}, l3::Status::io, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[0]);
        const l3::AssembleResult api = l3::assembleFiles(c.args[0], c.args[1], c.args[2]);
        EXPECT_EQ(api.status, c.status);
        const auto program =
            l3test::runProgram(dir, L3ASSEMBLE_EXE,
                               l3test::shellQuote(c.args[0]) + " " + l3test::shellQuote(c.args[1]) +
                                   " " + l3test::shellQuote(c.args[2]));
        EXPECT_EQ(program.exitCode, c.exitCode);
        EXPECT_EQ(program.err, "l3assemble: " + api.message + "\n");
    }

    // The streaming assembler stops at the same record with the same text.
    std::vector<uint8_t> sink;
    const l3::AssembleResult fed = streamRecords(bad, ex.ancillary, appendTo, &sink);
    EXPECT_EQ(fed.status, l3::Status::badRecord);
    EXPECT_EQ(fed.message, l3::assembleFiles(dir.path("bad.records"),
                                             kExamples + "/example.ancillary", dir.path("o3.mp3"))
                               .message);
    // and sends exactly the frames before it, as the program does
    EXPECT_TRUE(sink == dir.read("o2.mp3"));
}

TEST(AssembleApi, ASinkThatRefusesFailsTheAssembly) {
    const Example ex;
    const l3::AssembleResult r = streamRecords(ex.records, ex.ancillary, refuse, nullptr);
    EXPECT_EQ(r.status, l3::Status::writeFailed);
    EXPECT_FALSE(r.message.empty());
}

}  // namespace
