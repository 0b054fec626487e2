// repack INPUT OUTPUT: what `l3 repack INPUT OUTPUT` does, through the public API: the
// stream read whole, checked, rewritten in its smallest lossless layout, and written out.
// Prints the stream's verdict and the bytes before and after; exits 1 on a failure.

#include <l3/edit.h>
#include <l3/inspect.h>
#include <l3/status.h>
#include <l3/system.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: repack INPUT OUTPUT\n");
        return 1;
    }
    std::ifstream in(argv[1], std::ios::binary);
    const std::vector<uint8_t> input{std::istreambuf_iterator<char>(in),
                                     std::istreambuf_iterator<char>()};
    if (!in.good() && !in.eof()) {
        std::fprintf(stderr, "repack: cannot read %s\n", argv[1]);
        return 1;
    }

    const l3::StreamReport report = l3::checkStream(input.data(), input.size());
    std::printf("%s: %s, %zu audio frames\n", argv[1], l3::verdictName(l3::verdictOf(report)),
                l3::audioFrameCount(report));

    l3::RepackOptions options;
    options.threads = l3::availableProcessors();
    const l3::RepackResult r = l3::repackStream(input.data(), input.size(), options);
    for (const std::string& note : r.notes) std::printf("%s: %s\n", argv[1], note.c_str());
    if (r.status != l3::Status::ok) {
        std::fprintf(stderr, "repack: %s: %s (%s)\n", argv[1], r.message.c_str(),
                     l3::statusName(r.status));
        return 1;
    }
    std::ofstream out(argv[2], std::ios::binary);
    out.write(reinterpret_cast<const char*>(r.output.data()),
              static_cast<std::streamsize>(r.output.size()));
    if (!out.flush()) {
        std::fprintf(stderr, "repack: cannot write %s\n", argv[2]);
        return 1;
    }
    std::printf("%s: %zu bytes -> %zu bytes (%s)\n", argv[2], input.size(), r.output.size(),
                r.vbr ? "VBR" : "CBR");
    return 0;
}
