#include "ops/records.h"

#include "meter/clockcorrection.h"
#include "ops/settingsoperation.h"
#include "records/register.h"

#include <QDir>

namespace zk {

namespace {

Outcome databaseFailure(const DatabaseError &e)
{
    return Outcome::failure(Outcome::Storage, QString(), e.text());
}

// The local register refused: "Ошибка записи в БД: " and why, caption "Ошибка БД".
Outcome registerFailure(const DbfError &e)
{
    return Outcome::failure(Outcome::Storage, QStringLiteral("Ошибка БД"), MessageWriteFailedPrefix + e.text());
}

Outcome fromResult(const RecordResult &r)
{
    if (r.recorded())
        return Outcome{};
    const bool refused = r.outcome == RecordOutcome::UnderRepair || r.outcome == RecordOutcome::NumberTaken;
    return Outcome::failure(refused ? Outcome::Refused : Outcome::Storage, r.caption, r.message);
}

} // namespace

ProductionSession::ProductionSession() = default;
ProductionSession::~ProductionSession() = default;

ProductionDatabase &ProductionSession::database()
{
    if (!m_database || !m_database->isOpen()) {
        // A connection the server dropped is closed: the old object goes first, because
        // its destructor removes the connection of its name, which the new one reuses.
        m_database.reset();
        auto db = std::make_unique<ProductionDatabase>(
            readConnectionSettings(preferencesOrganisation(), preferencesApplication()));
        try {
            db->open();
        } catch (const DatabaseError &e) {
            // A connect string the preferences file cut short at its ';' is the likely cause:
            // the message says how to write it.
            const QString hint = unquotedConnectionHint();
            if (hint.isEmpty())
                throw;
            throw DatabaseError(e.text() + QLatin1Char('\n') + hint);
        }
        m_database = std::move(db);
    }
    return *m_database;
}

Identification ProductionSession::identify()
{
    const Identification id = database().identify(localComputerName(), localLogin());
    if (!id.ok())
        return id;
    m_bench = id.identity;
    setPcClockFromServer();
    return id;
}

void ProductionSession::setPcClockFromServer()
{
    const ServerTime server = database().serverTime();
    if (!qEnvironmentVariableIsSet("ZK_KEEP_PC_CLOCK") && pcClockNeedsSetting(server, QDateTime::currentDateTimeUtc()))
        setPcClock(server.instant);
}

void ProductionSession::lookUpLastSetting(int serial)
{
    m_lastSetting = database().lastSettingTime(serial);
}

QString ProductionSession::driftText(const MeterClock &clock, const QDateTime &arrival) const
{
    if (!clock.date().isValid() || !clock.time().isValid())
        return QString();
    const auto drift = driftPerDay(zoneFree(clock.date(), clock.time()), arrival, m_lastSetting);
    return drift ? zk::driftText(*drift) : QString();
}

QString ProductionSession::driftText(int serial, const MeterClock &clock, const QDateTime &arrival)
{
    lookUpLastSetting(serial);
    return driftText(clock, arrival);
}

Outcome ProductionSession::writeAllowed(int serial)
{
    try {
        const auto id = database().meterId(serial);
        if (!id)
            return Outcome::failure(Outcome::Storage, QString::fromUtf8(CaptionRecordFailed), MessageMeterNotRegistered);
        if (database().openRepairs(*id) > 0)
            return Outcome::failure(Outcome::Refused, QString::fromUtf8(CaptionRecordFailed), MessageUnderRepair);
    } catch (const DatabaseError &e) {
        return databaseFailure(e);
    }
    return Outcome{};
}

Outcome ProductionSession::numberFree(int serial)
{
    try {
        if (database().numberHasSettingOperation(serial))
            return Outcome::failure(Outcome::Refused, QString::fromUtf8(CaptionRecordFailed), numberTakenMessage(serial));
    } catch (const DatabaseError &e) {
        return databaseFailure(e);
    }
    return Outcome{};
}

std::optional<int> ProductionSession::defectMeter(int serial, Outcome *refusal)
{
    try {
        if (const auto id = database().meterId(serial))
            return id;
        *refusal = Outcome::failure(Outcome::Storage, QString::fromUtf8(CaptionDefectLookup), MessageMeterNotRegistered);
    } catch (const DatabaseError &e) {
        *refusal = databaseFailure(e);
    }
    return std::nullopt;
}

Outcome ProductionSession::registerDefectOf(int electroId, const QString &code)
{
    try {
        database().registerDefect(electroId, m_bench, code);
    } catch (const DatabaseError &e) {
        return databaseFailure(e);
    }
    return Outcome{};
}

Outcome ProductionSession::registerDefect(int serial, const QString &code)
{
    Outcome refusal;
    const std::optional<int> id = defectMeter(serial, &refusal);
    return id ? registerDefectOf(*id, code) : refusal;
}

Outcome WriteRecords::ready(int serial)
{
    if (m_production)
        return m_production->writeAllowed(serial);
    try {
        // Appendable now: not read-only, not held by another program, a reader included.
        openOrCreateRegister(QDir::currentPath()).checkAppendable();
    } catch (const DbfError &e) {
        return registerFailure(e);
    }
    return Outcome{};
}

Outcome WriteRecords::ready(const SettingsWrite &write, const MeterInfo &meter)
{
    return ready(readoutOf(meter, write).serial);
}

Outcome WriteRecords::setPcClockFromServer()
{
    if (!m_production)
        return Outcome{};
    try {
        m_production->setPcClockFromServer();
    } catch (const DatabaseError &e) {
        return databaseFailure(e);
    }
    return Outcome{};
}

std::optional<qint64> WriteRecords::nextFreeNumber(Outcome *failure)
{
    try {
        if (m_production) {
            qint64 from = 1;
            const std::optional<qint64> next = m_production->database().nextFreeNumber(&from);
            if (!next)
                *failure = Outcome::failure(Outcome::Storage, QString(), noFreeNumberMessage(from));
            return next;
        }
        return zk::nextFreeNumber(openOrCreateRegister(QDir::currentPath()));
    } catch (const StorageError &e) {
        *failure = Outcome::failure(Outcome::Storage, QString(), e.text());
    }
    return std::nullopt;
}

Outcome WriteRecords::numberFree(const SettingsWrite &write)
{
    if (!m_production || !write.serial)
        return Outcome{};
    return m_production->numberFree(*write.serial);
}

Outcome WriteRecords::record(const SettingsWrite &write, const ReadoutForRecord &readout, const QString &driftText,
                             const QDateTime &now)
{
    if (m_production) {
        try {
            return fromResult(m_production->database().recordWrite(
                m_production->bench(), buildProductionRecord(write, readout, driftText)));
        } catch (const DatabaseError &e) {
            return databaseFailure(e);
        }
    }
    try {
        DbfTable table = openOrCreateRegister(QDir::currentPath());
        recordWrite(table, buildSettingsRecord(write, readout), now);
    } catch (const DbfError &e) {
        return registerFailure(e);
    }
    return Outcome{};
}

Outcome WriteRecords::record(const SettingsWrite &write, const MeterInfo &meter, const QString &driftText)
{
    return record(write, readoutOf(meter, write), driftText);
}

QString WriteRecords::notRecordedPrefix() const
{
    return m_production ? QStringLiteral("Записано в счетчик, но не в БД: ")
                        : QStringLiteral("Записано в счетчик, но не в журнал установок: ");
}

Outcome WriteRecords::recordFix(const ReadoutForRecord &readout, const QString &driftText)
{
    if (!m_production)
        return Outcome::failure(Outcome::Storage, QString(),
                                QStringLiteral("Показания фиксируются только в производственном режиме."));
    try {
        return fromResult(m_production->database().recordFix(
            m_production->bench(), buildProductionRecord(SettingsWrite{}, readout, driftText).readingsOnly()));
    } catch (const DatabaseError &e) {
        return databaseFailure(e);
    }
}

} // namespace zk
