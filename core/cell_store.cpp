#include "cell_store.h"

#include <string>

namespace kelvra {

CellValue CellStore::cell(std::size_t i) const {
    return visit(i, [](auto v) -> CellValue {
        if constexpr (std::is_same_v<decltype(v), std::string_view>) {
            return CellValue{std::in_place_index<kString>, v};
        } else {
            return CellValue{v};
        }
    });
}

// Every row so far gets the one type the column had; missing rows keep it too (never read).
void CellStore::become_mixed() {
    types_.assign(size_, static_cast<std::uint8_t>(single_));
    mixed_ = true;
}

void CellStore::note_type(CellType type) {
    if (!any_present_) {
        single_ = type;
        any_present_ = true;
    } else if (!mixed_ && single_ != type) {
        become_mixed();
    }
    if (mixed_) types_.push_back(static_cast<std::uint8_t>(type));
}

StringData& CellStore::own_strings() {
    if (!strings_) {
        strings_ = std::make_shared<StringData>();
        strings_->offsets.assign(size_ + 1, 0);
    } else if (strings_.use_count() > 1) {
        strings_ = std::make_shared<StringData>(*strings_);
    }
    return *strings_;
}

void CellStore::push_payload_slow(CellType type, std::uint64_t bits) {
    if (!has_payload_) {
        payload_.assign(size_, 0);
        has_payload_ = true;
    }
    note_type(type);
    payload_.push_back(bits);
    if (strings_) {
        StringData& strings = own_strings();
        strings.offsets.push_back(strings.bytes.size());
    }
    ++size_;
}

void CellStore::push_string_slow(std::string_view text) {
    const bool first_present = !any_present_;
    note_type(kString);
    if (first_present && has_payload_) {
        // Until now the column held only missing rows: a column of strings needs no payloads.
        payload_.reset();
        has_payload_ = false;
    }
    if (has_payload_) payload_.push_back(0);
    StringData& strings = own_strings();
    strings.bytes.append(text.data(), text.size());
    strings.offsets.push_back(strings.bytes.size());
    ++size_;
}

void CellStore::push_missing() {
    if (has_payload_) payload_.push_back(0);
    if (mixed_) types_.push_back(static_cast<std::uint8_t>(kInt));
    if (strings_) {
        StringData& strings = own_strings();
        strings.offsets.push_back(strings.bytes.size());
    }
    ++size_;
}

void CellStore::pop_back() {
    if (has_payload_) payload_.pop_back();
    if (mixed_) types_.pop_back();
    if (strings_) {
        StringData& strings = own_strings();
        strings.offsets.pop_back();
        strings.bytes.set_size(strings.offsets.back());
    }
    --size_;
}

void CellStore::reserve(std::size_t rows) {
    if (has_payload_) payload_.reserve(rows);
    if (mixed_) types_.reserve(rows);
    if (strings_) own_strings().offsets.reserve(rows + 1);
}

void CellStore::reserve_string_bytes(std::size_t bytes) {
    StringData& strings = own_strings();
    strings.bytes.reserve(strings.bytes.size() + bytes);
}

void CellStore::trim() {
    payload_.trim();
    types_.trim();
    if (strings_ && strings_.use_count() == 1) {
        strings_->offsets.trim();
        strings_->bytes.trim();
    }
}

}  // namespace kelvra
