#pragma once
// The browse view of the local register: the rows of a date range (and, optionally,
// one serial number) as a read-only table model over the file. Records are read
// from the file as the view asks for them, not copied in advance.

#include "records/dbftable.h"

#include <QAbstractTableModel>
#include <QCache>
#include <QDate>
#include <QStringList>
#include <memory>

namespace zk {

class RegisterModel : public QAbstractTableModel
{
    Q_OBJECT
public:
    explicit RegisterModel(QObject *parent = nullptr);
    ~RegisterModel() override;

    // The register's columns in the order the grid shows them, with their titles;
    // "Sumer_correct" is calculated from SUMMER.
    static const QStringList &columnNames();
    static const QStringList &columnTitles();

    // Opens the register at `path` filtered as given; throws DbfError and keeps the
    // previous state when it cannot be read.
    void open(const QString &path, const QDate &from, const QDate &to, int serial);
    void close();
    bool isOpen() const { return m_table != nullptr; }
    // Reads the open register again with the same filter; when it cannot be read the view
    // closes and failed() tells why.
    void refresh();

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

    // The text of one cell as the grid shows it.
    QString cellText(int row, int column) const;

signals:
    // The view was read again (rows may have changed).
    void refreshed();
    // The register could not be read again and the view closed.
    void failed(const QString &text);

private:
    const QVariantList &record(int row) const;

    std::unique_ptr<DbfTable> m_table;
    QVector<qint64> m_rows;
    QVector<int> m_fieldOf; // column -> field index (-1: calculated or missing)
    int m_summerField = -1;
    mutable QCache<qint64, QVariantList> m_cache{512};
    QString m_path;
    QDate m_from, m_to;
    int m_serial = 0;
    mutable bool m_refreshQueued = false;
};

} // namespace zk
