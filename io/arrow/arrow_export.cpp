#include "arrow_export.h"

#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "../common/utf8.h"
#include "arrow_columns.h"
#include "arrow_owned.h"

namespace kelvra::arrow {

namespace {

// What the stream owns: its schema, kept as a description so that each get_schema hands out a
// copy of its own, and the one batch until the consumer takes it.
struct StreamState {
    FieldType schema;
    ArrowArray batch{};
    std::string error;

    StreamState() = default;
    StreamState(const StreamState&) = delete;
    StreamState& operator=(const StreamState&) = delete;
    ~StreamState() {
        if (batch.release != nullptr) batch.release(&batch);
    }
};

StreamState& state_of(ArrowArrayStream* stream) {
    return *static_cast<StreamState*>(stream->private_data);
}

int get_schema(ArrowArrayStream* stream, ArrowSchema* out) {
    StreamState& state = state_of(stream);
    try {
        export_schema(state.schema, *out);
        return 0;
    } catch (const std::bad_alloc&) {
        state.error = "out of memory while exporting the schema";
        return ENOMEM;
    }
}

// The batch, once; afterwards a released array, which ends the stream.
int get_next(ArrowArrayStream* stream, ArrowArray* out) {
    StreamState& state = state_of(stream);
    *out = state.batch;
    state.batch.release = nullptr;
    return 0;
}

const char* get_last_error(ArrowArrayStream* stream) {
    const StreamState& state = state_of(stream);
    return state.error.empty() ? nullptr : state.error.c_str();
}

void release_stream(ArrowArrayStream* stream) {
    const std::unique_ptr<StreamState> state(static_cast<StreamState*>(stream->private_data));
    stream->release = nullptr;
}

void require_valid_name(const std::string& name) {
    if (!is_utf8(name)) throw_text_not_utf8(kExportFailure, name, std::nullopt);
    // Arrow names are NUL-terminated; so is the message, which shows the byte as \x00.
    if (name.find('\0') != std::string::npos) {
        std::string shown;
        for (const char c : name) shown += c == '\0' ? std::string("\\x00") : std::string(1, c);
        throw std::invalid_argument(std::string(kExportFailure) + ": the column name '" + shown +
                                    "' holds a NUL byte");
    }
}

// The field of a requested struct schema that carries the name, or nullptr.
const ArrowSchema* requested_field(const ArrowSchema* requested, const std::string& name) {
    if (requested == nullptr || requested->format == nullptr ||
        std::string_view(requested->format) != "+s") {
        return nullptr;
    }
    for (std::int64_t k = 0; k < requested->n_children; ++k) {
        const ArrowSchema* field = requested->children[k];
        if (field != nullptr && field->name != nullptr && name == field->name) return field;
    }
    return nullptr;
}

}  // namespace

void export_table(const PyDataFrame& table, const ArrowSchema* requested, ArrowArrayStream& out) {
    const std::vector<std::string>& names = table.column_order;
    for (const std::string& name : names) require_valid_name(name);

    auto state = std::make_unique<StreamState>();
    state->schema = FieldType{"+s", "", false, {}};
    state->schema.children.reserve(names.size());
    auto top = std::make_unique<ArrayOwner>();
    top->reserve_children(names.size());
    for (std::size_t j = 0; j < names.size(); ++j) {
        state->schema.children.push_back(
            export_column(names[j], table.column_map.at(names[j]), table.num_rows,
                          requested_field(requested, names[j]), top->child_arrays[j]));
    }
    hand_over(std::move(top), table.num_rows, 0, 1, state->batch);

    out = ArrowArrayStream{};
    out.get_schema = get_schema;
    out.get_next = get_next;
    out.get_last_error = get_last_error;
    out.release = release_stream;
    out.private_data = state.release();
}

}  // namespace kelvra::arrow
