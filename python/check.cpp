// l3.check: what `l3 check --json` says of one file, as a dict that the l3 package turns into
// a Report. The same library call as the program's (edit/check_report.h), so the two agree.
#include <string>

#include "bindings.h"
#include "l3/inspect.h"
#include "l3/status.h"

namespace l3py {

namespace {

template <typename Item, typename KindName>
py::list itemList(const std::vector<Item>& items, KindName kindName) {
    py::list list;
    for (const Item& item : items) {
        py::dict d;
        d["kind"] = kindName(item.kind);
        d["frame"] =
            item.frame == l3::kNoFrame ? py::object(py::none()) : py::object(py::int_(item.frame));
        d["offset"] = item.offset;
        d["message"] = item.message;
        list.append(d);
    }
    return list;
}

py::dict check(const std::string& path) {
    l3::StreamReport report;
    {
        py::gil_scoped_release release;
        const std::vector<uint8_t> bytes = readFileBytes(path);
        report = l3::checkStream(bytes.data(), bytes.size());
    }
    // Where l3.read finds nothing to read, l3.check raises as it does.
    if (report.frameCount == 0) {
        const std::string what = report.unsupported.empty()
                                     ? "no Layer III frame found"
                                     : report.unsupported + "; l3 reads Layer III with a bit rate";
        fail("NotLayer3Error", l3::Status::notLayer3, path + ": " + what);
    }
    py::dict d;
    d["file"] = path;
    const l3::Verdict verdict = l3::verdictOf(report);
    d["verdict"] = l3::verdictName(verdict);
    d["frames"] = l3::audioFrameCount(report);
    if (verdict == l3::Verdict::unsupported) d["unsupported"] = report.unsupported;
    d["faults"] = itemList(report.faults, l3::faultKindName);
    d["notes"] = itemList(report.notes, l3::noteKindName);
    d["salvageable"] = l3::salvageableFaults(report);
    return d;
}

}  // namespace

void bindCheck(py::module_& m) {
    m.def("check", &check, py::arg("path"),
          "What `l3 check --json` says of the file at path, as a dict; a FileError failure when "
          "it cannot be read, NotLayer3Error when it holds no Layer III frame");
}

}  // namespace l3py
