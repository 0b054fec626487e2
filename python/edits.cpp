// l3.info and the edits (l3.repack, l3.gain, l3.cut, l3.split, l3.join): the library calls
// the l3 commands make, on inputs read whole, each result written as the commands write
// theirs (writeFiles: names checked first, every output or none). A failure throws Failure
// with the command's exit code and message; the notes a command prints on standard error
// (what was dropped, values held) are returned, "FILE: note", for the package to warn with.
// The GIL is released while files are read, edited and written.
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "bindings.h"
#include "l3/edit.h"
#include "l3/inspect.h"

namespace l3py {

namespace {

using Notes = std::vector<std::string>;

void addNotes(Notes& to, const std::string& file, const std::vector<std::string>& notes) {
    for (const std::string& note : notes) to.push_back(file + ": " + note);
}

std::string info(const std::string& path, bool frames) {
    py::gil_scoped_release release;
    const std::vector<uint8_t> bytes = readFileBytes(path);
    const l3::StreamReport report = l3::inspectStream(bytes.data(), bytes.size());
    return l3::infoJson(path, bytes.data(), bytes.size(), report, l3::summarize(report), frames);
}

Notes repack(const std::string& src, const std::string& dst, bool huffman, int cbr,
             int minBitrate, int crc, bool salvage, bool vbr, bool force) {
    l3::RepackOptions options;
    options.huffman = huffman;
    options.cbrBitrate = cbr;
    options.minBitrate = minBitrate;
    options.crc = static_cast<l3::CrcChoice>(crc);
    options.salvage = salvage;
    options.vbrWithoutHeader = vbr;
    py::gil_scoped_release release;
    checkOutputs({src}, {dst}, force);
    const std::vector<uint8_t> input = readFileBytes(src);
    const l3::RepackResult r = l3::repackStream(input.data(), input.size(), options);
    Notes notes;
    addNotes(notes, src, r.notes);
    if (r.status != l3::Status::ok) failEdit(r.status, src + ": " + r.message);
    writeFiles({dst}, {{r.output.data(), r.output.size()}}, {src}, force);
    return notes;
}

// The warnings `l3 gain` prints for values held at 0 or 255.
void gainWarnings(Notes& notes, const std::string& src, const l3::GainResult& r, bool tagged) {
    if (r.clamped > 0)
        notes.push_back(src + ": warning: " + std::to_string(r.clamped) +
                        " global_gain values held at 0 or 255, so undoing this change will "
                        "not give them back exactly" +
                        (tagged ? " (recorded in the tag as L3_UNDO_INEXACT)" : ""));
    if (r.inexact > 0)
        notes.push_back(src + ": warning: the undo is not exact: a change held " +
                        std::to_string(r.inexact) + " global_gain values at 0 or 255");
}

Notes gain(const std::string& src, const std::string& dst, int steps, bool undo, int channel,
           bool tag, bool force) {
    py::gil_scoped_release release;
    checkOutputs({src}, {dst}, force);
    const std::vector<uint8_t> input = readFileBytes(src);
    l3::GainResult r;
    if (undo) {
        r = l3::undoGain(input.data(), input.size());
    } else {
        l3::GainOptions options;
        options.steps = steps;
        options.channel = channel;
        options.tag = tag;
        r = l3::applyGain(input.data(), input.size(), options);
    }
    const char* kind = r.status == l3::Status::noUndo    ? "NoUndoError"
                       : r.status == l3::Status::inexact ? "InexactError"
                                                      : editKind(r.status);
    if (r.status != l3::Status::ok) fail(kind, r.status, src + ": " + r.message);
    Notes notes;
    gainWarnings(notes, src, r, tag && !undo);
    writeFiles({dst}, {{r.output.data(), r.output.size()}}, {src}, force);
    return notes;
}

// A point as the l3 commands read one (see time_point.h); a UsageError otherwise.
l3::TimePoint pointOf(const std::string& text, bool samples) {
    l3::TimePoint point;
    if (!l3::parseTimePoint(text, samples, point))
        fail("UsageError", l3::Status::usage,
                      (samples ? "not a sample index: " : "not a time: ") + text);
    return point;
}

Notes cut(const std::string& src, const std::string& dst, const std::optional<std::string>& from,
          const std::optional<std::string>& to, bool toIsLength, bool samples, bool salvage,
          bool force) {
    const l3::TimePoint start = from ? pointOf(*from, samples) : l3::TimePoint{};
    const l3::TimePoint end = to ? pointOf(*to, samples) : l3::TimePoint{};
    if (toIsLength && end.fromEnd)
        fail("UsageError", l3::Status::usage, "a length counts from the start: " + *to);
    py::gil_scoped_release release;
    checkOutputs({src}, {dst}, force);
    const std::vector<uint8_t> input = readFileBytes(src);
    const l3::CutResult r = l3::cutStream(input.data(), input.size(), start, to ? &end : nullptr,
                                          salvage, toIsLength);
    Notes notes;
    addNotes(notes, src, r.notes);
    if (r.status != l3::Status::ok) failEdit(r.status, src + ": " + r.message);
    writeFiles({dst}, {{r.pieces[0].output.data(), r.pieces[0].output.size()}}, {src}, force);
    return notes;
}

// The pieces' names come from nameOf(k), k from 1, once their number is known.
std::pair<std::vector<std::string>, Notes> split(const std::string& src,
                                                 const std::vector<std::string>& at,
                                                 const std::optional<std::string>& every,
                                                 bool samples, const py::function& nameOf,
                                                 bool salvage, bool force) {
    std::vector<l3::TimePoint> points;
    for (const std::string& text : at) points.push_back(pointOf(text, samples));
    const l3::TimePoint step = every ? pointOf(*every, samples) : l3::TimePoint{};
    if (every && step.fromEnd)
        fail("UsageError", l3::Status::usage, "a step counts from the start: " + *every);
    l3::CutResult r;
    {
        py::gil_scoped_release release;
        const std::vector<uint8_t> input = readFileBytes(src);
        r = l3::splitStream(input.data(), input.size(), points, every ? &step : nullptr, salvage,
                            every.has_value());
    }
    Notes notes;
    addNotes(notes, src, r.notes);
    if (r.status != l3::Status::ok) failEdit(r.status, src + ": " + r.message);
    std::vector<std::string> names;
    std::vector<FileBytes> bytes;
    for (size_t k = 0; k < r.pieces.size(); ++k) {
        names.push_back(nameOf(k + 1).cast<std::string>());
        bytes.push_back({r.pieces[k].output.data(), r.pieces[k].output.size()});
    }
    py::gil_scoped_release release;
    writeFiles(names, bytes, {src}, force);
    return {names, notes};
}

Notes join(const std::vector<std::string>& srcs, const std::string& dst, bool salvage,
           bool force) {
    py::gil_scoped_release release;
    checkOutputs(srcs, {dst}, force);
    std::vector<std::vector<uint8_t>> bytes;
    std::vector<l3::JoinInput> inputs;
    for (const std::string& src : srcs) bytes.push_back(readFileBytes(src));
    for (size_t k = 0; k < srcs.size(); ++k)
        inputs.push_back({srcs[k], bytes[k].data(), bytes[k].size()});
    const l3::JoinResult r = l3::joinStreams(inputs, salvage);
    Notes notes = r.notes;
    if (r.status != l3::Status::ok) failEdit(r.status, r.message);
    writeFiles({dst}, {{r.output.data(), r.output.size()}}, srcs, force);
    return notes;
}

}  // namespace

void bindEdits(py::module_& m) {
    m.def("info", &info, py::arg("path"), py::arg("frames"),
          "The JSON text `l3 info --json [--frames]` prints for the file at path");
    m.def("repack", &repack, py::arg("src"), py::arg("dst"), py::arg("huffman"), py::arg("cbr"),
          py::arg("min_bitrate"), py::arg("crc"), py::arg("salvage"), py::arg("vbr"),
          py::arg("force"), "l3 repack SRC DST; the notes");
    m.def("gain", &gain, py::arg("src"), py::arg("dst"), py::arg("steps"), py::arg("undo"),
          py::arg("channel"), py::arg("tag"), py::arg("force"),
          "l3 gain -g STEPS | --undo SRC DST; the warnings");
    m.def("cut", &cut, py::arg("src"), py::arg("dst"), py::arg("start"), py::arg("end"),
          py::arg("end_is_length"), py::arg("samples"), py::arg("salvage"), py::arg("force"),
          "l3 cut SRC DST; the notes");
    m.def("split", &split, py::arg("src"), py::arg("at"), py::arg("every"), py::arg("samples"),
          py::arg("name_of"), py::arg("salvage"), py::arg("force"),
          "l3 split SRC; the pieces' names and the notes");
    m.def("join", &join, py::arg("srcs"), py::arg("dst"), py::arg("salvage"), py::arg("force"),
          "l3 join -o DST SRCS; the notes");
}

}  // namespace l3py
