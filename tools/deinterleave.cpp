// deinterleave N INFILE OUTFILE: splits a file of N byte-interleaved streams into the streams,
// written one after another, each in reverse byte order.

#include <signal.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "deinterleave/input_file.h"
#include "deinterleave/interleave_factor.h"
#include "deinterleave/output_file.h"
#include "deinterleave/stream_writer.h"

namespace {

using namespace deinterleave;

// Codes 1 to 3 keep their historical meaning; 4 and 5 cover failures that used to pass unseen.
enum ExitCode : int {
    kDone = 0,
    kBadArguments = 1,     // no arguments, or N not a positive number
    kBadInput = 2,         // INFILE missing or not openable
    kBadOutput = 3,        // OUTFILE missing, not openable, or the input itself
    kUnreadableInput = 4,  // INFILE not measurable, or shorter than measured when read
    kResourceFailure = 5,  // no memory, or writing / closing OUTFILE failed
};

constexpr char kUsage[] =
    "Usage: deinterleave N INFILE OUTFILE\n"
    "       deinterleave -h | --help | --version\n"
    "\n"
    "Reads INFILE as N byte streams interleaved byte by byte (byte k belongs to stream\n"
    "k mod N) and writes the streams to OUTFILE one after another, stream 0 first, each\n"
    "in reverse byte order. The last (size mod N) bytes belong to no stream and are\n"
    "dropped. On success prints the number of bytes per stream on one line.\n"
    "'-' names standard input (which must then be a regular file, read from its start) or\n"
    "standard output (the count then goes to standard error); a file named '-' is reached\n"
    "as './-'.\n"
    "\n"
    "N is read as a decimal number: leading blanks and one sign are allowed and reading\n"
    "stops at the first character that is not a digit. It must come out positive.\n"
    "\n"
    "Exit codes (conditions are tested in the order 1, 2, 4, 3, then 4 and 5 while working):\n"
    "  0  done; the per-stream byte count was printed\n"
    "  1  no arguments, or N is not a positive number\n"
    "  2  INFILE missing or cannot be opened\n"
    "  3  OUTFILE missing or cannot be opened, or OUTFILE is INFILE\n"
    "  4  INFILE cannot be measured (not a regular file: pipe, device, directory) or\n"
    "     delivers fewer bytes than measured\n"
    "  5  out of memory, or writing or closing OUTFILE failed\n"
    "Every failure prints a message on standard error. When it happens after OUTFILE was\n"
    "opened, a regular OUTFILE is removed; a device or pipe is left alone.\n";

// The output to remove if the input vanishes from under its mapping (SIGBUS).
const OutputFile* outputOnBusError = nullptr;

[[gnu::format(printf, 2, 3)]] int fail(int code, const char* format, ...) {
    std::fputs("deinterleave: ", stderr);
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fputc('\n', stderr);
    return code;
}

extern "C" void onBusError(int) {
    constexpr char kMessage[] = "deinterleave: input file shrank while being read\n";
    [[maybe_unused]] const ssize_t ignored = ::write(STDERR_FILENO, kMessage, sizeof kMessage - 1);
    if (outputOnBusError != nullptr) discardOutput(*outputOnBusError);
    ::_exit(kUnreadableInput);
}

void installSignalHandlers() {
    // Write errors are reported through errno (EPIPE, EFBIG) rather than by being killed.
    ::signal(SIGPIPE, SIG_IGN);
    ::signal(SIGXFSZ, SIG_IGN);
    struct sigaction action {};
    action.sa_handler = onBusError;
    ::sigemptyset(&action.sa_mask);
    ::sigaction(SIGBUS, &action, nullptr);
}

// Reads the open input and writes the output; on failure removes the output.
int deinterleaveFile(uint64_t factor, const InputFile& input, OutputFile& output) {
    outputOnBusError = &output;
    const uint64_t count = input.size / factor;
    InputBytes bytes;
    int error = 0;
    const LoadStatus load = loadInput(input, bytes, error);
    if (load != LoadStatus::ok) {
        discardOutput(output);
        if (load == LoadStatus::noMemory) {
            return fail(kResourceFailure, "cannot hold the input (%llu bytes) in memory",
                        static_cast<unsigned long long>(input.size));
        }
        return fail(kUnreadableInput, "input delivered fewer bytes than its size of %llu%s%s",
                    static_cast<unsigned long long>(input.size), error != 0 ? ": " : "",
                    error != 0 ? std::strerror(error) : "");
    }
    const OutputKind kind = output.regular ? OutputKind::mapped : OutputKind::sequential;
    error = writeStreams(bytes.data, factor, count, output.fd, kind);
    releaseInput(bytes);
    outputOnBusError = nullptr;
    if (error == 0) error = closeOutput(output);
    if (error != 0) {
        discardOutput(output);
        return fail(kResourceFailure, "cannot write output '%s': %s", output.path.c_str(),
                    std::strerror(error));
    }
    // With the streams on standard output the count goes to standard error.
    FILE* console = output.path == "-" ? stderr : stdout;
    std::fprintf(console, "%llu\n", static_cast<unsigned long long>(count));
    if (std::fflush(console) != 0) {
        return fail(kResourceFailure, "cannot print the stream length: %s", std::strerror(errno));
    }
    return kDone;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && (std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0)) {
        std::fputs(kUsage, stdout);
        return kDone;
    }
    if (argc >= 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("deinterleave %s\n", L3_VERSION);
        return kDone;
    }
    if (argc < 2) {
        std::fputs(kUsage, stderr);
        return kBadArguments;
    }
    const int64_t factor = parseInterleaveFactor(argv[1]);
    if (factor <= 0) {
        return fail(kBadArguments, "N must be a positive number of streams, not '%s'", argv[1]);
    }
    if (argc < 3) return fail(kBadInput, "missing INFILE (try --help)");

    InputFile input;
    if (const int error = openInput(argv[2], input); error != 0) {
        return fail(kBadInput, "cannot open input '%s': %s", argv[2], std::strerror(error));
    }
    if (!measureInput(input)) {
        return fail(kUnreadableInput, "cannot measure input '%s': not a regular file", argv[2]);
    }
    if (argc < 4) return fail(kBadOutput, "missing OUTFILE (try --help)");

    OutputFile output;
    int error = 0;
    switch (openOutput(argv[3], input, output, error)) {
        case OpenOutputStatus::ok:
            break;
        case OpenOutputStatus::sameAsInput:
            return fail(kBadOutput, "output '%s' is the input file", argv[3]);
        case OpenOutputStatus::failed:
            return fail(kBadOutput, "cannot open output '%s': %s", argv[3], std::strerror(error));
    }
    installSignalHandlers();
    return deinterleaveFile(static_cast<uint64_t>(factor), input, output);
}
