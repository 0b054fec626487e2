// Files the module writes (Stream.write, write_records), by the programs' rule: two
// outputs never name one file, a file with several names (hard links) is not replaced,
// and each file is written through a temporary one renamed into place, keeping the mode,
// owner, group and extended attributes of the file it replaces. A Stream holds what it
// read, so writing it back over the file it came from is an in-place write, as
// `l3 repack --in-place` makes one.
#include <cerrno>
#include <string>
#include <vector>

#include "bindings.h"
#include "format/output_check.h"
#include "format/replace_file.h"

namespace l3py {

void writeFiles(const std::vector<std::string>& paths, const std::vector<FileBytes>& bytes) {
    l3::OutputRules rules;
    rules.replaceLinked = false;
    const l3::OutputCheck check = l3::checkOutputs({}, paths, rules);
    if (check) {
        const std::string& name = paths[check.output];
        std::string why = "cannot be written";
        if (check.conflict == l3::OutputConflict::namesOutput)
            why = "names the same file as " + paths[check.other];
        else if (check.conflict == l3::OutputConflict::directory)
            why = "is a directory";
        else if (check.conflict == l3::OutputConflict::linked)
            why = "has other names (hard links); not replaced (copy it first to break the link)";
        const std::string message = name + ": " + why + "; nothing written";
        PyErr_SetString(PyExc_OSError, message.c_str());
        throw py::error_already_set();
    }
    std::string error;
    for (size_t k = 0; k < paths.size(); ++k) {
        bool ok;
        int code = 0;
        {
            py::gil_scoped_release release;
            ok = l3::writeNewFile(paths[k], bytes[k].data, bytes[k].size, {}, error);
            code = errno;
        }
        if (!ok) {
            errno = code;
            PyErr_SetFromErrnoWithFilename(PyExc_OSError, paths[k].c_str());
            throw py::error_already_set();
        }
    }
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
            writeFiles(paths, bytes);
        },
        py::arg("paths"), py::arg("data"),
        "Writes each buffer to its path through a temporary file (see write_records)");
}

}  // namespace l3py
