// Feeds arbitrary bytes to the JSON reader. Malformed input may raise; anything else (a crash, a
// sanitizer report, a hang) is a fault. A table that reads must survive to_json + read_json intact.
#include <stdexcept>

#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const kelvra::fuzz::TempFile input("in.json"), output("out.json");
    input.write(data, size);
    PyDataFrame table;
    try {
        table = PyDataFrame::read_json(input.path());
    } catch (const std::invalid_argument&) {
        return 0;  // malformed JSON is reported, which is what it should do
    }
    table.to_json(output.path());
    kelvra::fuzz::require_same(table, PyDataFrame::read_json(output.path()), "JSON");
    return 0;
}
