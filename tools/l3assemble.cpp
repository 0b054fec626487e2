// l3assemble RECORDFILE [ANCILLARYFILE [OUTPUTFILE]]

#include <cstdio>
#include <cstring>

#include "l3/assemble.h"
#include "l3/system.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitUsage = 1;

// The exit code for how an assembly ended.
int exitCode(l3::Status status) {
    switch (status) {
    case l3::Status::ok: return kExitOk;
    case l3::Status::cutShort: return 3;
    case l3::Status::badRecord: return 4;
    case l3::Status::writeFailed: return 5;
    default: return 2;  // a file cannot be opened
    }
}

const char kUsage[] =
    "usage: l3assemble RECORDFILE [ANCILLARYFILE [OUTPUTFILE]]\n"
    "       l3assemble -h | --help | --version\n"
    "Writes the Layer III stream described by RECORDFILE, taking ancillary bits and the\n"
    "trailing bytes from ANCILLARYFILE. Both optional files default to the null device;\n"
    "\"nul\" (any case) names it explicitly. '-' names standard input for RECORDFILE or\n"
    "ANCILLARYFILE (not both) and standard output for OUTPUTFILE, and then the progress and\n"
    "statistics lines go to standard error; a file named '-' is reached as './-'.\n"
    "exit codes: 0 done; 1 usage; 2 a file cannot be opened; 3 record file truncated;\n"
    "            4 invalid record; 5 output write error\n";

void printProgress(void* console, int32_t done, int32_t estimate) {
    std::fprintf(static_cast<FILE*>(console), "Frames: %i/%i(?) \r", done, estimate);
}

void printStatistics(FILE* console, const l3::AssembleStatistics& s) {
    std::fprintf(console, "%i frames found.   \n", s.framesFound);
    std::fprintf(console, "%i frames written.\n", s.framesWritten);
    std::fprintf(console, "Processed %i frames in %i.%03is\n", s.framesFound,
                 static_cast<int>(s.elapsedMs / 1000), static_cast<int>(s.elapsedMs % 1000));
    std::fflush(console);
}

}  // namespace

int main(int argc, char** argv) {
    using namespace l3;
    if (argc < 2) {
        std::fputs(kUsage, stderr);
        return kExitUsage;
    }
    if (std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0) {
        std::fputs(kUsage, stdout);
        return kExitOk;
    }
    if (std::strcmp(argv[1], "--version") == 0) {
        std::printf("l3assemble %s\n", L3_VERSION);
        return kExitOk;
    }
    ignoreBrokenPipeSignal();
    // With the stream on standard output, the console lines go to standard error.
    FILE* console = argc > 3 && std::strcmp(argv[3], "-") == 0 ? stderr : stdout;
    AssembleReport run;
    run.progress = printProgress;
    run.progressContext = console;
    const Status status =
        assembleFiles(argv[1], argc > 2 ? argv[2] : "nul", argc > 3 ? argv[3] : "nul", run).status;
    // The statistics come when the frames are all out, before any message: a run that
    // finished says at most that its output could not be closed, after its warning.
    if (run.statistics.finished) printStatistics(console, run.statistics);
    for (const std::string& message : run.messages)
        std::fprintf(stderr, "l3assemble: %s\n", message.c_str());
    return exitCode(status);
}
