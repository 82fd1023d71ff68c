#include "output/texttable.h"

#include <algorithm>

namespace velmorcli {
namespace {

// Characters, not bytes, so that UTF-8 text lines up.
std::size_t displayWidth(const std::string& text)
{
    return static_cast<std::size_t>(
        std::count_if(text.begin(), text.end(), [](char byte) { return (byte & 0xC0) != 0x80; }));
}

} // namespace

TextTable::TextTable(std::vector<std::string> header)
{
    mRows.push_back(std::move(header));
}

void TextTable::addRow(std::vector<std::string> cells)
{
    mRows.push_back(std::move(cells));
}

void TextTable::write(std::ostream& out) const
{
    const std::vector<std::size_t> widths = columnWidths();
    for (const auto& row : mRows) {
        writeRow(out, row, widths);
    }
}

std::vector<std::size_t> TextTable::columnWidths() const
{
    std::vector<std::size_t> widths;
    for (const auto& row : mRows) {
        widths.resize(std::max(widths.size(), row.size()), 0);
        for (std::size_t column = 0; column < row.size(); ++column) {
            widths[column] = std::max(widths[column], displayWidth(row[column]));
        }
    }
    return widths;
}

void TextTable::writeRow(std::ostream& out, const std::vector<std::string>& cells,
                         const std::vector<std::size_t>& widths)
{
    std::string line;
    for (std::size_t column = 0; column < cells.size(); ++column) {
        if (column > 0) {
            line += "  ";
        }
        line += cells[column];
        if (column + 1 < cells.size()) {
            line.append(widths[column] - displayWidth(cells[column]), ' ');
        }
    }
    out << line << '\n';
}

} // namespace velmorcli
