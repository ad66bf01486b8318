#pragma once

// Writer of Excel 97 workbooks (.xls): a compound document holding a
// "Workbook" stream of BIFF8 records.
//
// A new Workbook is the blank template every export starts from: three
// worksheets "Лист1", "Лист2", "Лист3" with the first one active and selected,
// default font Arial 10, every column 2961/256 characters wide, default row
// height 12.85 points, A4 portrait at 100 %, margins of 0.7875 inch left and
// right and 1.0528 inch top and bottom, header and footer 0.7875 inch from the
// edge, and a centred header (the sheet's name) and footer ("Страница " and the
// page number) in Times New Roman 12. Cells can be set on the first sheet only.

#include "core/error.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <map>
#include <variant>

namespace zk {

// Every failure of the writer: a bad cell position or value, a file that
// cannot be written.
class WorkbookError : public StorageError
{
public:
    using StorageError::StorageError;
};

class Workbook
{
public:
    static constexpr int MaxRows = 65536;
    static constexpr int MaxColumns = 256;
    static constexpr int MaxTextLength = 32767; // UTF-16 code units, the most a cell holds

    // The blank template.
    Workbook();

    QStringList sheetNames() const;

    // Cells of the first sheet, row 1..MaxRows and column 1..MaxColumns. Setting
    // a cell again replaces its content. Throw WorkbookError for a position
    // outside the sheet, a text longer than MaxTextLength or a number that is
    // not finite; the cell is then left as it was.
    void setText(int row, int column, const QString &text);
    void setNumber(int row, int column, double value);

    // The whole .xls file.
    QByteArray toBytes() const;

    // Writes the file at path, replacing what is there (or, with NewFileOnly,
    // refusing a path that exists). Throws WorkbookError when it cannot be written
    // completely; a partly written file is removed.
    enum SaveMode { ReplaceFile, NewFileOnly };
    void save(const QString &path, SaveMode mode = ReplaceFile) const;

private:
    using Cell = std::variant<QString, double>;
    static quint32 cellKey(int row, int column);

    std::map<quint32, Cell> m_cells; // key (row - 1) * MaxColumns + (column - 1): row-major order
};

} // namespace zk
