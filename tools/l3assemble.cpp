// l3assemble RECORDFILE [ANCILLARYFILE [OUTPUTFILE]]

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "assemble/assembler_state.h"
#include "assemble/run_driver.h"

namespace {

bool isStandardStream(const char* path) {
    return std::strcmp(path, "-") == 0;
}

bool openNamedInput(l3::InputStream& in, const char* path, std::string& why) {
    if (!isStandardStream(path)) return l3::openInput(in, path, why);
    l3::openStandardInput(in);
    return true;
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

    AssembleRun run;
    run.recordName = argv[1];
    run.ancillaryName = argc > 2 && !isNullDeviceName(argv[2]) ? argv[2] : "";
    run.outputName = argc > 3 ? argv[3] : "nul";
    const bool toStandardOutput = argc > 3 && isStandardStream(argv[3]);
    run.console = toStandardOutput ? stderr : stdout;
    run.errors = stderr;

    InputStream records, ancillary;
    OutputStream output;
    std::string why;
    if (!openNamedInput(records, argv[1], why)) {
        std::fprintf(stderr, "l3assemble: cannot open record file '%s': %s\n", argv[1],
                     why.c_str());
        return kExitCannotOpen;
    }
    if (argc > 2 && isStandardStream(argv[1]) && isStandardStream(argv[2])) {
        std::fprintf(stderr,
                     "l3assemble: cannot open ancillary file '-': standard input is already the "
                     "record file\n");
        return kExitCannotOpen;
    }
    if (!openNamedInput(ancillary, argc > 2 ? argv[2] : "nul", why)) {
        std::fprintf(stderr, "l3assemble: cannot open ancillary file '%s': %s\n", argv[2],
                     why.c_str());
        return kExitCannotOpen;
    }
    // Opening the output truncates it: refuse an output that is one of the inputs.
    const char* const inputs[] = {argv[1], argc > 2 ? argv[2] : "nul"};
    for (const char* input : inputs)
        if (!toStandardOutput && !isStandardStream(input) &&
            sameRegularFile(run.outputName, input)) {
            std::fprintf(stderr, "l3assemble: cannot open output '%s': it is the input '%s'\n",
                         run.outputName.c_str(), input);
            return kExitCannotOpen;
        }
    if (toStandardOutput) {
        openStandardOutput(output);
    } else if (!openOutput(output, run.outputName, why)) {
        std::fprintf(stderr, "l3assemble: cannot open output '%s': %s\n", argv[3], why.c_str());
        return kExitCannotOpen;
    }
    run.records = &records;
    run.ancillary = &ancillary;
    run.output = &output;

    auto state = std::make_unique<AssemblerState>();
    int code = runAssembly(*state, run);
    if (!closeOutput(output) && code != kExitWriteError) {
        std::fprintf(stderr, "l3assemble: cannot write output '%s': %s\n", run.outputName.c_str(),
                     std::strerror(output.error));
        code = kExitWriteError;
    }
    return code;
}
