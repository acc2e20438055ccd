#include "row_writer.h"

namespace kelvra {

CellSource::CellSource(const Column* column) {
    if (column == nullptr) return;
    const CellStore& values = column->values;
    rows = values.size();
    if (column->null_mask.any_missing()) missing = column->null_mask.words();
    payloads = values.payloads();
    types = values.types();
    single = values.single_type().value_or(kInt);
    if (const StringData* strings = values.strings()) {
        string_offsets = strings->offsets.data();
        string_bytes = strings->bytes.data();
        string_end = string_bytes + strings->bytes.size();
    }
}

}  // namespace kelvra
