#include "records/registermodel.h"

#include "records/register.h"

#include <QLocale>

namespace zk {

const QStringList &RegisterModel::columnNames()
{
    static const QStringList names = {
        QStringLiteral("C_NUMBER"), QStringLiteral("DATE_REC"), QStringLiteral("TIME_REC"),
        QStringLiteral("VERSION"),  QStringLiteral("ADDRESS"),  QStringLiteral("TURN_ON"),
        QStringLiteral("NCORRECT"), QStringLiteral("C_DATE"),   QStringLiteral("C_TIME"),
        QStringLiteral("STATUS"),   QStringLiteral("DDM_A"),    QStringLiteral("DDM_B"),
        QStringLiteral("DDM_C"),    QStringLiteral("Sumer_correct"), QStringLiteral("PASS"),
        QStringLiteral("INDICATOR"), QStringLiteral("T_1_C"),   QStringLiteral("T_2_C"),
        QStringLiteral("T_3_C"),    QStringLiteral("T_1_1"),    QStringLiteral("T_2_1"),
        QStringLiteral("T_3_1"),    QStringLiteral("COUNT_DAY"), QStringLiteral("COUNT_HOUR")};
    return names;
}

const QStringList &RegisterModel::columnTitles()
{
    static const QStringList titles = {
        QStringLiteral("Номер"),      QStringLiteral("Дата зап."),   QStringLiteral("Время зап."),
        QStringLiteral("Версия"),     QStringLiteral("Адрес"),       QStringLiteral("Время вкл."),
        QStringLiteral("Счет. корр."), QStringLiteral("Дата"),       QStringLiteral("Время"),
        QStringLiteral("Статус"),     QStringLiteral("ДДМ A"),       QStringLiteral("ДДМ B"),
        QStringLiteral("ДДМ C"),      QStringLiteral("Летн. время"), QStringLiteral("Пароль"),
        QStringLiteral("Индикатор"),  QStringLiteral("T1 (тек.)"),   QStringLiteral("T2 (тек.)"),
        QStringLiteral("T3 (тек.)"),  QStringLiteral("T1 (1-ое)"),   QStringLiteral("T2 (1-ое)"),
        QStringLiteral("T3 (1-ое)"),  QStringLiteral("Расч. день"),  QStringLiteral("Расч. час")};
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
    endResetModel();
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
    const QVariantList &values = record(row);
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
