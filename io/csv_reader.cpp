// CSV reading: the tokenizer, field inference and table building.
#include <stdexcept>

#include "../core/dataframe.h"
#include "file_io.h"

PyDataFrame PyDataFrame::read_csv(const std::string& path) {
    kelvra::InputFile file(path, "Cannot open file: ");
    throw std::runtime_error("read_csv is not built yet");
}
