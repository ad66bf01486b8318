#pragma once

// Export of a journal's displayed texts to an Excel 97 workbook: the rules,
// without widgets. The page asks for the file name, calls writeExport, shows
// exportFailureText() when it throws, and opens the saved file.

#include "core/error.h"

#include <QLocale>
#include <QString>
#include <QStringList>
#include <QVector>

#include <optional>

namespace zk {

// The texts to export, row 0 holding the column titles. The table is as wide as
// its longest row; the cells a shorter row lacks export as empty texts.
struct ExportTable
{
    QVector<QStringList> rows;

    int width() const;
};

// Any failure of an export.
class ExportError : public StorageError
{
public:
    using StorageError::StorageError;
};

// The warning the operator sees when an export fails.
QString exportFailureText();

// "Годовой журнал " or "Журнал потребления ", then "Счетчик № N, " for a serial
// number N above 0.
QString journalTitle(bool annual, int serial);

// The number a cell text stands for: the whole text read as a floating-point
// number in the locale's format (its decimal separator, no group separators).
// An empty text, a text with anything else in it, and infinities and NaN are
// not numbers.
std::optional<double> cellNumber(const QString &text, const QLocale &locale);

// The temporary file for an export to chosenPath: in the same folder, "1new.xls",
// "2new.xls", ... the first name with no file (or link) of that name, other than
// the chosen file itself. Throws ExportError when every name up to a limit is taken.
QString temporaryName(const QString &chosenPath);

// Why the file at `path` is taken by another program: the office suite's lock file
// ".~lock.NAME#" stands beside it. Empty when there is none.
QString fileOpenElsewhere(const QString &path);

// Writes the table as the first sheet of a new workbook, with the title in A1,
// empty texts in the rest of row 1, and source row r, column k in sheet row r + 2,
// column k + 1 (as a number when cellNumber finds one, else as text). The workbook
// is written completely to temporaryName(chosenPath) and then renamed over the
// chosen file, so a failure leaves any earlier file at chosenPath as it was and
// no temporary file behind. A replaced file's permissions are kept. A cell the workbook
// cannot hold is left out. Throws ExportError on any other failure, and before anything
// is written when fileOpenElsewhere() finds the chosen file open.
void writeExport(const ExportTable &table, const QString &title, const QString &chosenPath,
                 const QLocale &locale);

} // namespace zk
