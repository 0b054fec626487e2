// Failures leave the module as one exception, _l3.Failure, whose arguments say which l3.Error
// subclass the package raises (see Failure in bindings.h).
#include <utility>

#include "bindings.h"
#include "l3/status.h"

namespace l3py {

const char* editKind(l3::Status status) {
    switch (status) {
        case l3::Status::usage:
            return "UsageError";
        case l3::Status::io:
            return "FileError";
        case l3::Status::notLayer3:
            return "NotLayer3Error";
        case l3::Status::damaged:
            return "DamagedError";
        case l3::Status::verify:
            return "VerifyError";
        case l3::Status::badValue:
            return "BadValueError";
        case l3::Status::noUndo:
            return "NoUndoError";
        case l3::Status::cannotFit:
        case l3::Status::cannotLay:
            return "CannotFitError";
        case l3::Status::outOfRange:
            return "BadRangeError";
        case l3::Status::mismatch:
            return "MismatchError";
        case l3::Status::inexact:
            return "InexactError";
        default:
            return "Error";
    }
}

void fail(const char* kind, l3::Status status, std::string message) {
    throw Failure{kind, status, std::move(message), 0, {}};
}

void failEdit(l3::Status status, std::string message) {
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
            const py::tuple args = py::make_tuple(f.kind, l3::statusName(f.status), f.message, f.error, f.path);
            PyErr_SetObject(failure, args.ptr());
        }
    });
}

}  // namespace l3py
