// Feeds arbitrary bytes to the CSV reader; a table that reads must survive to_csv + read_csv.
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return kelvra::fuzz::read_write_read(data, size, "csv", &PyDataFrame::read_csv,
                                         &PyDataFrame::to_csv);
}
