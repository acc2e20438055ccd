#include "column_view.h"

namespace kelvra {

StringCells::StringCells(const std::shared_ptr<StringStore>& store)
    : owner_(&store), store_(store.get()) {
    if (store_ == nullptr) return;
    cells_ = store_->cells.data();
    bases_.reserve(store_->buffers.size());
    for (const auto& buffer : store_->buffers) bases_.push_back(buffer->data());
}

ColumnView::ColumnView(const Column& column)
    : store_(&column.values),
      mask_(&column.null_mask),
      size_(column.values.size),
      missing_(column.null_mask.any_missing() ? column.null_mask.words() : nullptr),
      payloads_(column.values.has_payloads ? column.values.payloads.data() : nullptr),
      strings_(column.values.strings) {}

}  // namespace kelvra
