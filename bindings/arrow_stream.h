// What the readers of Arrow PyCapsules share: the structs a call owns, taken out of their capsules
// and released once, a producer's export called, its stream's errors raised, its type told.
#pragma once

#include <pybind11/pybind11.h>

#include <optional>
#include <string>
#include <string_view>

#include "../io/arrow/arrow_c.h"

namespace kelvra {

inline constexpr const char* kStreamName = "arrow_array_stream";
inline constexpr const char* kSchemaName = "arrow_schema";
inline constexpr const char* kArrayName = "arrow_array";

// A struct that this call owns: moved out of a capsule or filled by a producer's callback, and
// released once, on every way out.
template <class T>
struct Owned {
    T value{};

    Owned() = default;
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    ~Owned() { reset(); }
    void reset() {
        if (value.release != nullptr) value.release(&value);
        value = T{};
    }
};

// Takes over the struct that a capsule holds: the capsule keeps a released copy, so that its
// destructor releases nothing.
template <class T>
void move_out(PyObject* capsule, const char* name, Owned<T>& out) {
    if (!PyCapsule_IsValid(capsule, name)) {
        throw pybind11::type_error(
            std::string("the Arrow export did not give a PyCapsule named '") + name + "'");
    }
    auto* held = static_cast<T*>(PyCapsule_GetPointer(capsule, name));
    if (held == nullptr) throw pybind11::error_already_set();
    if (held->release == nullptr) {
        throw pybind11::value_error(std::string("the PyCapsule named '") + name +
                                    "' was already consumed");
    }
    out.value = *held;
    held->release = nullptr;
}

// values.<method>(), or nothing when it raises an ordinary exception: such values go item by item
// (a pandas Series of mixed objects refuses to become Arrow).
std::optional<pybind11::object> call_export(PyObject* values, const char* method);

// A producer's stream with its schema.
struct Stream {
    Owned<ArrowArrayStream> stream;
    Owned<ArrowSchema> schema;

    // The next array into `array`; false at the end of the stream. RuntimeError when the
    // producer fails.
    bool next(Owned<ArrowArray>& array);
};
// Fills `out` from values.__arrow_c_stream__(); false, as for call_export, when it raises.
bool open_stream(PyObject* values, Stream& out);

// Whether the object's type is `name` of module `module` (as its __module__ and __qualname__
// say), without importing that module.
bool is_type(PyObject* object, std::string_view module, std::string_view name);

}  // namespace kelvra
