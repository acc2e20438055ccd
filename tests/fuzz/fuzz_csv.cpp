// Feeds arbitrary bytes to the CSV reader; a table that reads must survive to_csv + read_csv.
// The tokenizer must also give the same records, line numbers and errors with every block scanner,
// the same fields when read a run of records at a time, and the quick number reading must agree
// with the general one on every field.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "io/common/file_io.h"
#include "io/csv/csv_tokenizer.h"
#include "text/number_reading.h"
#include "text/plain_number_ssse3.h"

namespace {

// The SSSE3 readings give what the SSE2 ones give, on every field.
void require_same_plain_readings(std::string_view field) {
#if defined(KELVRA_PLAIN_NUMBER_SSSE3)
    static const bool ssse3 = kelvra::cpu_has_ssse3();
    if (!ssse3 || field.empty()) return;
    std::int64_t sse2_int = 0, ssse3_int = 0;
    const bool sse2_took = kelvra::parse_plain_int(field.data(), field.size(), sse2_int);
    const bool ssse3_took = kelvra::parse_plain_int_ssse3(field.data(), field.size(), ssse3_int);
    const kelvra::ParsedNumber sse2 = kelvra::parse_plain_number(field.data(), field.size());
    const kelvra::ParsedNumber with_ssse3 =
        kelvra::parse_plain_number_ssse3(field.data(), field.size());
    if (sse2_took != ssse3_took || sse2_int != ssse3_int || sse2.kind != with_ssse3.kind ||
        (sse2.kind != kelvra::ParsedNumber::kNone && sse2.int_value != with_ssse3.int_value)) {
        std::fprintf(stderr, "SSSE3 and SSE2 readings differ for \"%.*s\"\n",
                     static_cast<int>(field.size()), field.data());
        std::abort();
    }
#else
    (void)field;
#endif
}

// The fields lie in the tokenizer's buffer, which the quick reading may read past their ends.
void require_same_number(std::string_view field) {
    require_same_plain_readings(field);
    std::int64_t plain_int = 0;
    if (!field.empty() && kelvra::parse_plain_int(field.data(), field.size(), plain_int)) {
        const kelvra::ParsedNumber general = kelvra::parse_whole_number(field);
        if (general.kind != kelvra::ParsedNumber::kInt || general.int_value != plain_int) {
            std::fprintf(stderr, "integer readings differ for \"%.*s\"\n",
                         static_cast<int>(field.size()), field.data());
            std::abort();
        }
    }
    bool short_int = false;
    const std::int64_t short_value =
        field.empty() ? 0 : kelvra::short_int_without_branch(field.data(), field.size(), short_int);
    if (short_int && (!kelvra::parse_plain_int(field.data(), field.size(), plain_int) ||
                      plain_int != short_value)) {
        std::fprintf(stderr, "short integer reading differs for \"%.*s\"\n",
                     static_cast<int>(field.size()), field.data());
        std::abort();
    }
    const kelvra::ParsedNumber quick = kelvra::parse_plain_number(field.data(), field.size());
    if (quick.kind == kelvra::ParsedNumber::kNone) return;
    const kelvra::ParsedNumber general = kelvra::parse_whole_number(field);
    if (general.kind != quick.kind || general.int_value != quick.int_value) {
        std::fprintf(stderr, "number readings differ for \"%.*s\"\n",
                     static_cast<int>(field.size()), field.data());
        std::abort();
    }
}

void append_field(std::string& out, std::string_view field) {
    out += ' ' + std::to_string(field.size()) + ':';
    out += field;
}

// Everything a tokenizer gives for a file, as one text: each record's line, flag and fields,
// then the error that ended it, if any.
std::string records_of(const std::string& path, kelvra::CsvBlockScanner scanner) {
    std::string out;
    try {
        kelvra::InputFile file(path, "Cannot open file: ");
        kelvra::CsvTokenizer tokenizer(file, scanner);
        while (tokenizer.next()) {
            out += std::to_string(tokenizer.line()) + (tokenizer.empty_line() ? " e" : " r");
            for (const std::string_view field : tokenizer.fields()) {
                require_same_number(field);
                append_field(out, field);
            }
            out += '\n';
        }
    } catch (const std::invalid_argument& error) {
        out += std::string("error ") + error.what();
    }
    return out;
}

// Opens the file, reads its first record and hands the tokenizer and that record's width to
// `read`; an error, wherever it comes, is the whole text.
template <class Read>
std::string after_header(const std::string& path, Read read) {
    try {
        kelvra::InputFile file(path, "Cannot open file: ");
        kelvra::CsvTokenizer tokenizer(file);
        if (!tokenizer.next()) return {};
        return read(tokenizer, tokenizer.fields().size());
    } catch (const std::invalid_argument& error) {
        return std::string("error ") + error.what();
    }
}

// The fields of the records read a few at a time with the width of the first, as text (a run
// that fails gives none of its records).
std::string runs_of(const std::string& path) {
    return after_header(path, [](kelvra::CsvTokenizer& tokenizer, std::size_t width) {
        std::string out;
        while (const std::size_t records = tokenizer.next_records(width, 3)) {
            for (std::size_t r = 0; r < records; ++r) {
                for (std::size_t c = 0; c < width; ++c) {
                    append_field(out, tokenizer.column_fields(c)[r]);
                }
                out += '\n';
            }
        }
        return out;
    });
}

// The same from one record at a time: empty lines dropped, short records filled up, a record
// wider than the first an error.
std::string runs_from_records(const std::string& path) {
    return after_header(path, [&path](kelvra::CsvTokenizer& tokenizer, std::size_t width) {
        std::string out;
        while (tokenizer.next()) {
            if (tokenizer.empty_line()) continue;
            const auto fields = tokenizer.fields();
            if (fields.size() > width) {
                return "error " + path + ": line " + std::to_string(tokenizer.line()) +
                       ": expected " + std::to_string(width) + (width == 1 ? " field" : " fields") +
                       ", found " + std::to_string(fields.size());
            }
            for (std::size_t c = 0; c < width; ++c) {
                append_field(out, c < fields.size() ? fields[c] : std::string_view());
            }
            out += '\n';
        }
        return out;
    });
}

void require_same_records(const std::uint8_t* data, std::size_t size) {
    const kelvra::fuzz::TempFile input("scan.csv");
    input.write(data, size);
    const std::string best = records_of(input.path(), kelvra::best_csv_block_scanner());
    const std::string portable = records_of(input.path(), kelvra::portable_csv_block_scanner());
    if (best != portable) {
        std::fprintf(stderr, "block scanners differ:\n%s\n---\n%s\n", best.c_str(),
                     portable.c_str());
        std::abort();
    }
    const std::string runs = runs_of(input.path());
    const std::string expected = runs_from_records(input.path());
    if (runs != expected) {
        std::fprintf(stderr, "runs differ from records:\n%s\n---\n%s\n", runs.c_str(),
                     expected.c_str());
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    require_same_records(data, size);
    return kelvra::fuzz::read_write_read(data, size, "csv", &PyDataFrame::read_csv,
                                         &PyDataFrame::to_csv);
}
