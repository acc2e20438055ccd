// Splits CSV bytes into records of fields, reading the file in large blocks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "../common/file_io.h"
#include "csv_blocks.h"

namespace kelvra {

// Records follow RFC 4180: fields are split at commas; a field that begins with a double quote
// runs to its closing quote and may hold commas, CR and LF, with "" standing for one quote.
// Outside quoted fields a record ends at LF, CR LF or a lone CR, or at the end of the file; line
// numbers count each of these line ends, inside quoted fields too. A UTF-8 byte-order mark at the
// start of the file is dropped. Malformed quoting throws std::invalid_argument naming the file
// and line.
class CsvTokenizer {
public:
    explicit CsvTokenizer(InputFile& file, CsvBlockScanner scanner = best_csv_block_scanner());

    // Moves to the next record; false at the end of the file. The fields stay valid until the
    // next call.
    bool next();
    std::span<const std::string_view> fields() const { return {grid_.data(), record_fields_}; }
    // Reads up to max_records records of `width` fields each, as many as the bytes read so far
    // hold (reading more only when they hold none); 0 at the end of the file. Empty lines are
    // skipped and shorter records are filled up with empty fields; a record of more than `width`
    // fields throws std::invalid_argument naming the file and line. column_fields(c) then holds
    // field c of each record, valid until the next call.
    std::size_t next_records(std::size_t width, std::size_t max_records);
    const std::string_view* column_fields(std::size_t column) const {
        return grid_.data() + column * run_capacity_;
    }
    // True when the record is an empty line (its one field is empty and unquoted).
    bool empty_line() const { return empty_line_; }
    // The 1-based line on which the record began.
    std::size_t line() const { return record_line_; }
    // The bytes of the file consumed so far, up to the end of the record.
    std::size_t consumed() const { return consumed_before_buffer_ + pos_; }
    // The size of the file when it was opened, 0 when unknown.
    std::size_t size_hint() const { return file_.size_hint(); }
    const std::string& path() const { return file_.path(); }

private:
    // A record read, a record dropped (an empty line), more bytes needed, the end of the file.
    enum class Scan { kRecord, kDropped, kNeedMore, kEnd };
    static constexpr std::size_t kAnyWidth = 0;
    // The records' shape: `width` fields each (kAnyWidth: as many as a record has, empty lines
    // kept), up to `records` of them.
    void set_shape(std::size_t width, std::size_t records);
    // Reads records from pos_, counting them in `records` up to max_records. A record cut short
    // by the end of the bytes read is not counted.
    Scan scan(std::size_t max_records, std::size_t& records);
    // Records of exactly width_ fields whose field ends are all found already.
    void take_plain_records(std::size_t max_records, std::size_t& records);
    void pass_record(std::size_t next, std::size_t ending_breaks, std::size_t fields);
    // Any record, field end by field end.
    Scan take_record(std::size_t record);
    // Ends the record taken: line count, position, quotes, width.
    Scan finish_record(std::size_t record, std::size_t fields, std::size_t next,
                       std::size_t ending_breaks, bool first_quoted);
    void set_field(std::string_view* slot, std::size_t begin, std::size_t end);
    // Scans more blocks into the index; false when there are none left to scan.
    bool scan_more();
    void restart_blocks();
    void widen();
    // Keeps the unconsumed bytes and reads more after them; sets eof_ when the file is done.
    void refill();
    void unescape_quotes();
    // The line of the byte at `offset`, in the record that starts at pos_.
    std::size_t line_at(std::size_t offset) const;
    [[noreturn]] void fail(std::size_t line, std::string_view what) const;

    InputFile& file_;
    CsvBlockScanner scanner_;
    std::unique_ptr<char[]> buffer_;
    std::size_t capacity_ = 0;
    std::size_t pos_ = 0;  // start of the next record
    std::size_t end_ = 0;  // end of the bytes read
    std::size_t consumed_before_buffer_ = 0;
    bool eof_ = false;
    bool refill_due_ = false;  // the last scan needed more bytes than the buffer holds
    std::size_t line_ = 1;     // the line at pos_
    std::size_t record_line_ = 1;
    bool empty_line_ = false;
    // The fields read, column by column: field c of record r is grid_[c * run_capacity_ + r].
    std::vector<std::string_view> grid_;
    std::size_t width_ = 1;
    std::size_t run_capacity_ = 1;
    bool any_width_ = true;
    std::size_t record_fields_ = 0;            // the fields of the last record read
    std::vector<std::size_t> escaped_fields_;  // slots of the grid holding "" pairs

    // The blocks scanned from pos_ on: the field ends found (ends_[cursor_] is the next one),
    // the quoted line breaks, the carry into the next block and where it starts.
    std::unique_ptr<std::size_t[]> ends_;
    std::size_t ends_capacity_ = 0;
    CsvBlockIndex index_;
    std::size_t cursor_ = 0;
    std::vector<std::size_t> quoted_breaks_;
    std::size_t break_cursor_ = 0;
    CsvBlockCarry carry_;
    std::size_t next_block_ = 0;
};

}  // namespace kelvra
