#include "schedule/journalexport.h"

#include "workbook/workbook.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>

namespace zk {

namespace {

// Far more temporary files than any folder holds; past it the folder is not
// usable for an export.
constexpr int TemporaryNameLimit = 100000;

QString absoluteClean(const QString &path)
{
    return QDir::cleanPath(QFileInfo(path).absoluteFilePath());
}

// A cell the sheet cannot hold (past its last row or column, a text too long
// for a cell) is left out; the rest of the table is still saved.
void putText(Workbook &book, int row, int column, const QString &text)
{
    try {
        book.setText(row, column, text);
    } catch (const WorkbookError &) {
    }
}

void putCell(Workbook &book, int row, int column, const QString &text, const QLocale &locale)
{
    try {
        if (const std::optional<double> number = cellNumber(text, locale))
            book.setNumber(row, column, *number);
        else
            book.setText(row, column, text);
    } catch (const WorkbookError &) {
    }
}

} // namespace

int ExportTable::width() const
{
    int w = 0;
    for (const QStringList &row : rows)
        w = std::max(w, int(row.size()));
    return w;
}

QString exportFailureText()
{
    return QStringLiteral("Файл не может быть создан в указанной директории, или файл с таким именем сейчас открыт!");
}

QString fileOpenElsewhere(const QString &path)
{
    const QFileInfo file(path);
    const QString lock = file.absoluteDir().filePath(QStringLiteral(".~lock.%1#").arg(file.fileName()));
    if (!QFileInfo(lock).isFile())
        return QString();
    return QStringLiteral("%1 открыт другой программой (%2)")
        .arg(QDir::toNativeSeparators(path), QDir::toNativeSeparators(lock));
}

QString journalTitle(bool annual, int serial)
{
    QString title = annual ? QStringLiteral("Годовой журнал ") : QStringLiteral("Журнал потребления ");
    if (serial > 0)
        title += QStringLiteral("Счетчик № %1, ").arg(serial);
    return title;
}

std::optional<double> cellNumber(const QString &text, const QLocale &locale)
{
    if (text.isEmpty())
        return std::nullopt;
    QLocale strict(locale);
    strict.setNumberOptions(locale.numberOptions() | QLocale::RejectGroupSeparator);
    bool ok = false;
    const double value = strict.toDouble(text, &ok);
    if (!ok || !std::isfinite(value))
        return std::nullopt;
    return value;
}

QString temporaryName(const QString &chosenPath)
{
    const QString folder = chosenPath.left(chosenPath.lastIndexOf(QLatin1Char('/')) + 1);
    const QString chosen = absoluteClean(chosenPath);
    for (int n = 1; n <= TemporaryNameLimit; ++n) {
        const QString candidate = folder + QString::number(n) + QStringLiteral("new.xls");
        const QFileInfo info(candidate);
        if (info.exists() || info.isSymLink() || absoluteClean(candidate) == chosen)
            continue;
        return candidate;
    }
    throw ExportError(QStringLiteral("Нет свободного имени для временного файла в папке %1").arg(QDir::toNativeSeparators(folder)));
}

void writeExport(const ExportTable &table, const QString &title, const QString &chosenPath,
                 const QLocale &locale)
{
    if (const QString open = fileOpenElsewhere(chosenPath); !open.isEmpty())
        throw ExportError(open);
    const QString temporary = temporaryName(chosenPath);

    Workbook book;
    const int width = table.width();
    putText(book, 1, 1, title);
    for (int column = 2; column <= width; ++column)
        putText(book, 1, column, QString());
    for (int r = 0; r < table.rows.size(); ++r) {
        const QStringList &row = table.rows.at(r);
        for (int k = 0; k < width; ++k)
            putCell(book, r + 2, k + 1, k < row.size() ? row.at(k) : QString(), locale);
    }

    // A new file only: an existing file of the temporary name is never overwritten.
    try {
        book.save(temporary, Workbook::NewFileOnly);
    } catch (const WorkbookError &e) {
        throw ExportError(e.text());
    }

    // The replaced file's permissions go to its successor.
    struct stat chosen;
    if (::stat(QFile::encodeName(chosenPath).constData(), &chosen) == 0 && S_ISREG(chosen.st_mode)
        && ::chmod(QFile::encodeName(temporary).constData(), chosen.st_mode & 07777) != 0) {
        const int error = errno;
        QFile::remove(temporary);
        throw ExportError(QStringLiteral("Не удалось сохранить права доступа файла %1: %2")
                                  .arg(QDir::toNativeSeparators(chosenPath), QString::fromLocal8Bit(std::strerror(error))));
    }

    // rename() replaces an existing chosen file in one step: until it succeeds
    // the earlier file is untouched.
    if (std::rename(QFile::encodeName(temporary).constData(), QFile::encodeName(chosenPath).constData()) != 0) {
        const int error = errno;
        QFile::remove(temporary);
        throw ExportError(QStringLiteral("Не удалось заменить файл %1: %2")
                                  .arg(QDir::toNativeSeparators(chosenPath), QString::fromLocal8Bit(std::strerror(error))));
    }
}

} // namespace zk
