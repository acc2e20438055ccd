// CSV writing.
#include <stdexcept>

#include "../core/dataframe.h"
#include "file_io.h"

void PyDataFrame::to_csv(const std::string& path) const {
    kelvra::OutputFile file(path);
    throw std::runtime_error("to_csv is not built yet");
}
