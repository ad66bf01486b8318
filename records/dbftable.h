#pragma once
// dBASE III+ tables: create, open, append, scan.
//
// Layout: a 32-byte header (record count, header and record lengths, language driver 0xC9 for
// Windows-1251), one 32-byte descriptor per field, 0x0D, the records (a deletion flag and the
// fields packed), and 0x1A after the last record. Types C, N (with decimals), D and L; a field
// of blanks is NULL. Character data is stored in Windows-1251.
//
// An append holds an exclusive lock on the file (flock) and takes the count afresh under it, so
// two programs appending at once never interleave. Every lock is waited for a few seconds at
// most; then DbfError says that the table is busy. It writes the record's fields and the new
// end marker behind the old marker and flushes them to disk (fdatasync); then it turns the old
// marker into the record's flag byte, writes the header's count and flushes again (fsync). At
// any moment of a crash, readers that stop at the end marker and readers that trust the count
// see every earlier record intact, and at most one whole new record more or less. Records are
// those the header counts and, after them, every whole record up to the first place that
// starts with the end marker (as readers that go to the end marker see them; other programs
// may append without raising the count). A count larger than the file holds is read as the
// complete records there are. An append drops only what follows the records: a part of a
// record, or bytes after the end marker.
// Records [0, recordCount()) are never rewritten, so reading them needs no lock beyond the
// moment the count is taken.

#include "core/error.h"

#include <QByteArrayView>
#include <QDate>
#include <QString>
#include <QVariant>
#include <QVector>
#include <functional>
#include <optional>

namespace zk {

// A failure of a table operation; the text names the file.
class DbfError : public StorageError
{
public:
    using StorageError::StorageError;
};

enum class DbfType : char { Character = 'C', Numeric = 'N', Date = 'D', Logical = 'L' };

struct DbfField
{
    QString name;      // up to 10 ASCII characters; stored upper-case
    DbfType type = DbfType::Character;
    int length = 1;    // C 1..254, N 1..20, D always 8, L always 1
    int decimals = 0;  // N only
};

// Windows-1251, both ways. Characters without a code become '?'; 0x98 has no character and
// decodes to U+FFFD.
QByteArray toCp1251(QStringView text);
QString fromCp1251(QByteArrayView bytes);

class DbfTable;

// One record as stored, valid only inside the scan callback that received it.
class DbfRow
{
public:
    qint64 index() const { return m_index; }
    bool isDeleted() const { return m_bytes[0] == '*'; }
    // The field's bytes as stored.
    QByteArrayView raw(int field) const;
    // QString (C, right-trimmed), double (N), QDate (D), bool (L); a null QVariant for NULL.
    QVariant value(int field) const;
    // N: the number, nullopt when NULL or unreadable.
    std::optional<double> number(int field) const;
    // D: yyyymmdd as an integer, 0 when NULL or not a date. Orders like the dates.
    int dateKey(int field) const;

private:
    friend class DbfTable;
    DbfRow(const DbfTable &table, const char *bytes, qint64 index)
        : m_table(&table), m_bytes(bytes), m_index(index) {}
    const DbfTable *m_table;
    const char *m_bytes;
    qint64 m_index;
};

class DbfTable
{
public:
    // Opens an existing table for reading and appending (reading only when the file is
    // read-only). Throws DbfError when the file is missing, unreadable, not a dBASE table or
    // cut short inside its header; the file is never written by opening it.
    static DbfTable open(const QString &path);
    // Creates an empty table and opens it. The file appears whole or not at all; throws
    // DbfError when it already exists or cannot be written.
    static DbfTable create(const QString &path, const QVector<DbfField> &fields);
    // Removes the private names "NAME.new-PID-*" beside `path` that a creation of a process
    // which no longer runs left behind (where the file system has no unnamed files).
    static void removeLeftovers(const QString &path);

    DbfTable(DbfTable &&other) noexcept;
    DbfTable &operator=(DbfTable &&other) noexcept;
    DbfTable(const DbfTable &) = delete;
    DbfTable &operator=(const DbfTable &) = delete;
    ~DbfTable();

    QString path() const { return m_path; }
    const QVector<DbfField> &fields() const { return m_fields; }
    int recordLength() const { return m_recordLength; }
    int headerLength() const { return m_headerLength; }
    // Position of the field named `name` in any letter case; -1 when there is none.
    int fieldIndex(QStringView name) const;
    // As fieldIndex, but an unknown name throws DbfError.
    int column(QStringView name) const;

    // Complete records in the file now, including those of other programs' appends (see
    // above); fewer than the header's count when the file ends inside a record.
    qint64 recordCount() const;

    // Appends one record: `values` holds one value per field in field order, a null QVariant
    // for NULL. Text longer than a C field is cut; a number that does not fit an N field, a
    // value of the wrong kind or a date outside years 1..9999 throws DbfError and writes
    // nothing. Bytes after the last record (the remains of an append cut short) are dropped.
    void append(const QVariantList &values);

    // Throws DbfError when an append could not be made now: the table is read-only, or another
    // program holds the file longer than the lock is waited for.
    void checkAppendable() const;

    // Reads the records [0, recordCount()) in file order, streaming through a fixed buffer,
    // deleted ones included; stops early when `visit` returns false.
    void scan(const std::function<bool(const DbfRow &)> &visit) const;
    // One record's values (see DbfRow::value); throws DbfError for an index out of range.
    QVariantList record(qint64 index) const;

private:
    friend class DbfRow;
    DbfTable() = default;
    void readLayout();
    void fail(const QString &what) const;
    void failErrno(const QString &what, int err) const;
    void preadAll(char *data, qint64 size, qint64 offset, const char *cutShort) const;
    void pwriteAll(const char *data, qint64 size, qint64 offset);
    void checkLock(int err) const;
    qint64 countNow() const;
    qint64 countLocked() const;
    qint64 presentRecords(qint64 counted, qint64 size) const;
    QByteArray encode(const QVariantList &values) const;

    QString m_path;
    int m_fd = -1;
    bool m_writable = false;
    QVector<DbfField> m_fields;
    QVector<int> m_offsets; // of each field inside a record, after the deletion flag
    int m_headerLength = 0;
    int m_recordLength = 0;
};

} // namespace zk
