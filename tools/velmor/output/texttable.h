#pragma once

#include <cstddef>
#include <ostream>
#include <string>
#include <vector>

namespace velmorcli {

// Left-aligned columns separated by two spaces, as wide as their widest cell.
class TextTable {
public:
    explicit TextTable(std::vector<std::string> header);

    void addRow(std::vector<std::string> cells);
    void write(std::ostream& out) const;

private:
    std::vector<std::size_t> columnWidths() const;
    static void writeRow(std::ostream& out, const std::vector<std::string>& cells,
                         const std::vector<std::size_t>& widths);

    std::vector<std::vector<std::string>> mRows; // the header first
};

} // namespace velmorcli
