// Files the module writes (Stream.write, write_records, the edits), by the programs' rule:
// an output never names an input or another output, a file with several names (hard links)
// is not replaced, an existing file only where the call allows it, and the files of one
// call are written every one or none, each through a temporary file renamed into place,
// keeping the mode, owner, group and extended attributes of the file it replaces. A Stream
// holds what it read, so writing it back over the file it came from is an in-place write,
// as `l3 repack --in-place` makes one.
#include <span>
#include <string>
#include <vector>

#include "bindings.h"
#include "l3/status.h"
#include "l3/output_check.h"
#include "l3/replace_file.h"

namespace l3py {

namespace {

[[noreturn]] void failWrite(const std::string& path, const std::string& why, int error = 0) {
    throw Failure{"FileError", l3::Status::io, path + ": " + why, error, path};
}

}  // namespace

void checkOutputs(const std::vector<std::string>& inputs, const std::vector<std::string>& paths,
                  bool replace) {
    l3::OutputRules rules;
    rules.replaceExisting = replace;
    rules.replaceLinked = false;
    const l3::OutputCheck check = l3::checkOutputs(inputs, paths, rules);
    if (!check) return;
    std::string why = "cannot be written";
    if (check.conflict == l3::OutputConflict::namesInput)
        why = "the output names the input " + inputs[check.other];
    else if (check.conflict == l3::OutputConflict::namesOutput)
        why = "names the same file as " + paths[check.other];
    else if (check.conflict == l3::OutputConflict::exists)
        why = "exists; force=True replaces it";
    else if (check.conflict == l3::OutputConflict::directory)
        why = "is a directory";
    else if (check.conflict == l3::OutputConflict::linked)
        why = "has other names (hard links); not replaced (copy it first to break the link)";
    failWrite(paths[check.output], why + "; nothing written");
}

void writeFiles(const std::vector<std::string>& paths, const std::vector<FileBytes>& bytes,
                const std::vector<std::string>& inputs, bool replace) {
    checkOutputs(inputs, paths, replace);
    std::vector<std::span<const uint8_t>> spans;
    for (const FileBytes& b : bytes) spans.emplace_back(b.data, b.size);
    std::string error;
    size_t failed = 0;
    if (!l3::writeNewFiles(paths, spans, {}, error, failed))
        failWrite(paths[failed], "cannot write: " + error);
}

void bindFiles(py::module_& m) {
    m.def(
        "write_files",
        [](const std::vector<std::string>& paths, const std::vector<py::buffer>& data) {
            if (paths.size() != data.size()) throw py::value_error("one buffer per path");
            std::vector<py::buffer_info> infos;
            std::vector<FileBytes> bytes;
            for (const py::buffer& d : data) {
                infos.push_back(d.request());
                bytes.push_back({static_cast<const uint8_t*>(infos.back().ptr),
                                 static_cast<size_t>(infos.back().size * infos.back().itemsize)});
            }
            py::gil_scoped_release release;
            writeFiles(paths, bytes);
        },
        py::arg("paths"), py::arg("data"),
        "Writes each buffer to its path through a temporary file (see write_records)");
}

}  // namespace l3py
