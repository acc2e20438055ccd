// JSON writing.
#include <stdexcept>

#include "../core/dataframe.h"
#include "file_io.h"

void PyDataFrame::to_json(const std::string& path) const {
    kelvra::OutputFile file(path);
    throw std::runtime_error("to_json is not built yet");
}
