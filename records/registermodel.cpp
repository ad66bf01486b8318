#include "records/registermodel.h"

#include "records/register.h"

#include <QLocale>
#include <utility>

namespace zk {

namespace {
// The grid's columns, left to right: the register's column and its title.
const std::pair<const char *, const char *> Columns[] = {
    {"C_NUMBER", "Номер"},      {"DATE_REC", "Дата зап."},   {"TIME_REC", "Время зап."},
    {"VERSION", "Версия"},      {"ADDRESS", "Адрес"},        {"TURN_ON", "Время вкл."},
    {"NCORRECT", "Счет. корр."}, {"C_DATE", "Дата"},         {"C_TIME", "Время"},
    {"STATUS", "Статус"},       {"DDM_A", "ДДМ A"},          {"DDM_B", "ДДМ B"},
    {"DDM_C", "ДДМ C"},         {"Sumer_correct", "Летн. время"}, {"PASS", "Пароль"},
    {"INDICATOR", "Индикатор"}, {"T_1_C", "T1 (тек.)"},      {"T_2_C", "T2 (тек.)"},
    {"T_3_C", "T3 (тек.)"},     {"T_1_1", "T1 (1-ое)"},      {"T_2_1", "T2 (1-ое)"},
    {"T_3_1", "T3 (1-ое)"},     {"COUNT_DAY", "Расч. день"}, {"COUNT_HOUR", "Расч. час"},
};

QStringList columnPart(bool titles)
{
    QStringList out;
    for (const auto &c : Columns)
        out << QString::fromUtf8(titles ? c.second : c.first);
    return out;
}
} // namespace

const QStringList &RegisterModel::columnNames()
{
    static const QStringList names = columnPart(false);
    return names;
}

const QStringList &RegisterModel::columnTitles()
{
    static const QStringList titles = columnPart(true);
    return titles;
}

RegisterModel::RegisterModel(QObject *parent) : QAbstractTableModel(parent) {}

RegisterModel::~RegisterModel() = default;

void RegisterModel::open(const QString &path, const QDate &from, const QDate &to, int serial)
{
    auto table = std::make_unique<DbfTable>(DbfTable::open(path));
    const QVector<qint64> rows = browseRows(*table, from, to, serial);
    QVector<int> fieldOf;
    for (const QString &name : columnNames())
        fieldOf << table->fieldIndex(name);
    beginResetModel();
    m_table = std::move(table);
    m_rows = rows;
    m_fieldOf = fieldOf;
    m_summerField = m_table->fieldIndex(u"SUMMER");
    m_cache.clear();
    m_path = path;
    m_from = from;
    m_to = to;
    m_serial = serial;
    endResetModel();
}

void RegisterModel::refresh()
{
    m_refreshQueued = false;
    if (!m_table)
        return;
    try {
        open(m_path, m_from, m_to, m_serial);
    } catch (const DbfError &e) {
        close();
        emit failed(e.text());
        return;
    }
    emit refreshed();
}

void RegisterModel::close()
{
    beginResetModel();
    m_table.reset();
    m_rows.clear();
    m_cache.clear();
    endResetModel();
}

int RegisterModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_rows.size());
}

int RegisterModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(columnNames().size());
}

const QVariantList &RegisterModel::record(int row) const
{
    const qint64 index = m_rows.at(row);
    if (QVariantList *cached = m_cache.object(index))
        return *cached;
    auto *values = new QVariantList(m_table->record(index));
    m_cache.insert(index, values);
    return *values;
}

QString RegisterModel::cellText(int row, int column) const
{
    if (!m_table || row < 0 || row >= m_rows.size() || column < 0 || column >= columnNames().size())
        return QString();
    // Another program may have rewritten the file since the rows were chosen, or hold its lock:
    // the view is read again once control returns to the event loop, and the cells stay empty
    // meanwhile. Only the first cell waits out the lock; the others of that paint do not.
    if (m_refreshQueued)
        return QString();
    const QVariantList *found = nullptr;
    try {
        found = &record(row);
    } catch (const DbfError &) {
        if (!m_refreshQueued) {
            m_refreshQueued = true;
            QMetaObject::invokeMethod(const_cast<RegisterModel *>(this), &RegisterModel::refresh, Qt::QueuedConnection);
        }
        return QString();
    }
    const QVariantList &values = *found;
    if (columnNames().at(column) == QLatin1String("Sumer_correct")) {
        const QVariant v = m_summerField >= 0 ? values.value(m_summerField) : QVariant();
        return summerText(v.isNull() ? std::nullopt : std::optional<bool>(v.toBool()));
    }
    const int field = m_fieldOf.at(column);
    if (field < 0)
        return QString();
    const QVariant v = values.value(field);
    if (v.isNull())
        return QString();
    const QLocale locale;
    switch (v.typeId()) {
    case QMetaType::QDate:
        return locale.toString(v.toDate(), QLocale::ShortFormat);
    case QMetaType::Double: {
        QLocale plain = locale;
        plain.setNumberOptions(QLocale::OmitGroupSeparator);
        return plain.toString(v.toDouble(), 'f', m_table->fields().at(field).decimals);
    }
    case QMetaType::Bool:
        return v.toBool() ? QStringLiteral("T") : QStringLiteral("F");
    default:
        return v.toString();
    }
}

QVariant RegisterModel::data(const QModelIndex &index, int role) const
{
    if (role != Qt::DisplayRole || !index.isValid())
        return QVariant();
    return cellText(index.row(), index.column());
}

QVariant RegisterModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (role != Qt::DisplayRole)
        return QVariant();
    if (orientation == Qt::Horizontal)
        return columnTitles().value(section);
    return section + 1;
}

} // namespace zk
