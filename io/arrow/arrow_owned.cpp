#include "arrow_owned.h"

#include <utility>

namespace kelvra::arrow {

namespace {

void release_array(ArrowArray* array) {
    const std::unique_ptr<ArrayOwner> owner(static_cast<ArrayOwner*>(array->private_data));
    array->release = nullptr;
}

struct SchemaOwner {
    std::string format;
    std::string name;
    std::vector<ArrowSchema> child_schemas;
    std::vector<ArrowSchema*> children;

    SchemaOwner() = default;
    SchemaOwner(const SchemaOwner&) = delete;
    SchemaOwner& operator=(const SchemaOwner&) = delete;
    ~SchemaOwner() {
        for (ArrowSchema& child : child_schemas) {
            if (child.release != nullptr) child.release(&child);
        }
    }
};

void release_schema(ArrowSchema* schema) {
    const std::unique_ptr<SchemaOwner> owner(static_cast<SchemaOwner*>(schema->private_data));
    schema->release = nullptr;
}

}  // namespace

ArrayOwner::~ArrayOwner() {
    for (ArrowArray& child : child_arrays) {
        if (child.release != nullptr) child.release(&child);
    }
}

void ArrayOwner::reserve_children(std::size_t n) {
    child_arrays.assign(n, ArrowArray{});
    children.resize(n);
    for (std::size_t i = 0; i < n; ++i) children[i] = &child_arrays[i];
}

void hand_over(std::unique_ptr<ArrayOwner> owner, std::size_t length, std::size_t null_count,
               std::size_t n_buffers, ArrowArray& out) noexcept {
    out = ArrowArray{};
    out.length = static_cast<std::int64_t>(length);
    out.null_count = static_cast<std::int64_t>(null_count);
    out.n_buffers = static_cast<std::int64_t>(n_buffers);
    out.n_children = static_cast<std::int64_t>(owner->children.size());
    out.buffers = owner->buffers.data();
    out.children = owner->children.empty() ? nullptr : owner->children.data();
    out.release = release_array;
    out.private_data = owner.release();
}

void export_schema(const FieldType& field, ArrowSchema& out) {
    auto owner = std::make_unique<SchemaOwner>();
    owner->format = field.format;
    owner->name = field.name;
    owner->child_schemas.assign(field.children.size(), ArrowSchema{});
    owner->children.resize(field.children.size());
    for (std::size_t i = 0; i < field.children.size(); ++i) {
        owner->children[i] = &owner->child_schemas[i];
        export_schema(field.children[i], owner->child_schemas[i]);
    }
    out = ArrowSchema{};
    out.format = owner->format.c_str();
    out.name = owner->name.c_str();
    out.flags = field.nullable ? ARROW_FLAG_NULLABLE : 0;
    out.n_children = static_cast<std::int64_t>(owner->children.size());
    out.children = owner->children.empty() ? nullptr : owner->children.data();
    out.release = release_schema;
    out.private_data = owner.release();
}

}  // namespace kelvra::arrow
