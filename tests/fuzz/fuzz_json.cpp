// Feeds arbitrary bytes to the JSON reader; a table that reads must survive to_json + read_json.
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return kelvra::fuzz::read_write_read(data, size, "json", &PyDataFrame::read_json,
                                         &PyDataFrame::to_json);
}
