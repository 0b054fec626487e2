// Failures leave the module as one exception, _l3.Failure, whose arguments say which l3.Error
// subclass the package raises (see Failure in bindings.h).
#include <utility>

#include "bindings.h"
#include "edit/source_stream.h"

namespace l3py {

const char* editKind(int status) {
    switch (status) {
        case l3::kEditUsage:
            return "UsageError";
        case l3::kEditIo:
            return "FileError";
        case l3::kEditNotLayer3:
            return "NotLayer3Error";
        case l3::kEditBadFrame:
            return "DamagedError";
        case l3::kEditVerify:
            return "VerifyError";
        case l3::kEditBadValue:
            return "BadValueError";
        default:
            return "Error";
    }
}

void fail(const char* kind, int status, std::string message) {
    throw Failure{kind, status, std::move(message), 0, {}};
}

void failEdit(int status, std::string message) {
    fail(editKind(status), status, std::move(message));
}

void bindFailure(py::module_& m) {
    // Made once and kept for the life of the process, as the module is.
    static PyObject* const failure = PyErr_NewException("l3._l3.Failure", PyExc_Exception, nullptr);
    m.attr("Failure") = py::handle(failure);
    py::register_exception_translator([](std::exception_ptr p) {
        try {
            if (p) std::rethrow_exception(p);
        } catch (const Failure& f) {
            const py::tuple args = py::make_tuple(f.kind, f.status, f.message, f.error, f.path);
            PyErr_SetObject(failure, args.ptr());
        }
    });
}

}  // namespace l3py
