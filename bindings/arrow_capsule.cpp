#include "arrow_capsule.h"

#include <memory>

#include "../io/arrow/arrow_export.h"

namespace py = pybind11;

namespace kelvra {

namespace {

constexpr const char* kStreamName = "arrow_array_stream";
constexpr const char* kSchemaName = "arrow_schema";

// A stream that no consumer took (one that did moved it out and marked it released) is released
// with its capsule.
struct StreamDeleter {
    void operator()(ArrowArrayStream* stream) const noexcept {
        if (stream->release != nullptr) stream->release(stream);
        std::default_delete<ArrowArrayStream>()(stream);
    }
};
using StreamPtr = std::unique_ptr<ArrowArrayStream, StreamDeleter>;

void destroy_stream_capsule(PyObject* capsule) {
    // Called while an exception may be set: keep it.
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    const StreamPtr stream(
        static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule, kStreamName)));
    if (!stream) PyErr_Clear();
    PyErr_Restore(type, value, traceback);
}

}  // namespace

py::capsule arrow_stream_capsule(const PyDataFrame& table, const py::object& requested_schema) {
    const ArrowSchema* requested = nullptr;
    if (!requested_schema.is_none()) {
        if (!PyCapsule_CheckExact(requested_schema.ptr())) {
            throw py::type_error(
                "requested_schema must be None or a PyCapsule named 'arrow_schema'");
        }
        requested = static_cast<const ArrowSchema*>(
            PyCapsule_GetPointer(requested_schema.ptr(), kSchemaName));
        if (requested == nullptr) throw py::error_already_set();
        if (requested->release == nullptr) requested = nullptr;  // a released schema asks nothing
    }
    StreamPtr stream(std::make_unique<ArrowArrayStream>().release());
    arrow::export_table(table, requested, *stream);
    PyObject* capsule = PyCapsule_New(stream.get(), kStreamName, destroy_stream_capsule);
    if (capsule == nullptr) throw py::error_already_set();
    stream.release();  // the capsule owns it now
    return py::reinterpret_steal<py::capsule>(capsule);
}

}  // namespace kelvra
