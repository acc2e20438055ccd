// JSON reading.
#include "../core/dataframe.h"
#include "file_io.h"

PyDataFrame PyDataFrame::read_json(const std::string& path) {
    kelvra::InputFile file(path, "Cannot open JSON file: ");
    return PyDataFrame{};
}
