// Feeds arbitrary bytes to the CSV reader. Malformed input may raise; anything else (a crash, a
// sanitizer report, a hang) is a fault. A table that reads must survive to_csv + read_csv intact.
#include <stdexcept>

#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const kelvra::fuzz::TempFile input("in.csv"), output("out.csv");
    input.write(data, size);
    PyDataFrame table;
    try {
        table = PyDataFrame::read_csv(input.path());
    } catch (const std::invalid_argument&) {
        return 0;  // malformed CSV is reported, which is what it should do
    }
    table.to_csv(output.path());
    kelvra::fuzz::require_same(table, PyDataFrame::read_csv(output.path()), "CSV");
    return 0;
}
