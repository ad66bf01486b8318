#pragma once
// Recording what was done to a meter: the local register in the working directory, or in
// SQL mode the production database with the bench identified. Each step ends in an
// Outcome that the window shows as a message box and the command line as a text with its
// exit status.

#include "meter/meterinfo.h"
#include "meter/readout.h"
#include "meter/settingswrite.h"
#include "ops/preferences.h"
#include "records/production.h"
#include "records/settingsrecord.h"

#include <QDateTime>
#include <QString>
#include <memory>
#include <optional>

namespace zk {

struct Outcome {
    enum Status {
        Done,
        Invalid, // refused for what it asks under the modes, before anything is touched
        Refused, // the database refused the meter: under repair
        Storage, // the register or the database failed, or does not know the meter
    };
    Status status = Done;
    // The message box the window shows; an empty caption is the default error report.
    QString caption;
    QString message;

    bool ok() const { return status == Done; }
    static Outcome failure(Status status, const QString &caption, const QString &message)
    {
        return Outcome{status, caption, message};
    }
};

// The production database as one bench uses it.
class ProductionSession
{
public:
    // The connection the preferences group "Electrometer" describes.
    ProductionSession();
    ~ProductionSession();
    ProductionSession(const ProductionSession &) = delete;
    ProductionSession &operator=(const ProductionSession &) = delete;

    // Opened on first use, and again after the server dropped the connection. Throws
    // DatabaseError.
    ProductionDatabase &database();

    // Identifies the computer, the operator and the bench, then sets the PC clock from the
    // server. The problem says what is unknown; the identity stays the last one found.
    // Throws DatabaseError.
    Identification identify();
    // The PC clock set to the server's absolute time (ZK_KEEP_PC_CLOCK keeps it, for test
    // machines), left alone when the two differ by less than the server's resolution; a
    // refusal of the system is ignored. Throws DatabaseError.
    void setPcClockFromServer();
    const BenchIdentity &bench() const { return m_bench; }

    // The drift per day needs the meter's last setting time: looked up once for the meter
    // shown (the window, when the number shown changes) and kept until forgotten (the
    // display reset, after which a write may have set it anew). A failed lookup throws
    // DatabaseError and keeps the time looked up before.
    void lookUpLastSetting(int serial);
    void forgetLastSetting() { m_lastSetting = QDateTime(); }
    // The drift per day of the meter looked up, its clock read `clock` when the PC's read
    // `arrival`, as "Уход за сутки" shows it; empty without a last setting time or without
    // the meter's date and time of day.
    QString driftText(const MeterClock &clock, const QDateTime &arrival) const;
    // Both for one poll cycle (the command line). Throws DatabaseError.
    QString driftText(int serial, const MeterClock &clock, const QDateTime &arrival);

    // The meter may get a recorded write: registered and not under repair.
    Outcome writeAllowed(int serial);
    // The number may still go to a meter that reports 0: no setting operation has it yet.
    // Refused: "Номер N уже записан в другой счетчик.", caption "Ошибка записи в БД".
    Outcome numberFree(int serial);
    // The meter a defect is registered for: its id in the database, or nothing with the
    // refusal ("Номер прибора не описан в БД. Установите его.", caption "Ошибка записи").
    std::optional<int> defectMeter(int serial, Outcome *refusal);
    // Registers a defect of the meter whose id defectMeter() gave ...
    Outcome registerDefectOf(int electroId, const QString &code);
    // ... or of the meter `serial`, looked up first.
    Outcome registerDefect(int serial, const QString &code);

private:
    std::unique_ptr<ProductionDatabase> m_database;
    BenchIdentity m_bench;
    QDateTime m_lastSetting; // of the meter looked up; null when unknown
};

// Where completed writes go.
class WriteRecords
{
public:
    // `production` in SQL mode (the caller keeps it), null for the local register.
    explicit WriteRecords(ProductionSession *production) : m_production(production) {}

    bool production() const { return m_production != nullptr; }
    // Before anything is sent: the register opens (or is created) and takes a record, or the
    // meter is registered and not under repair; refused as record() would fail.
    Outcome ready(int serial);
    // The same for the meter the record of `write` will name (readoutOf()).
    Outcome ready(const SettingsWrite &write, const MeterInfo &meter);
    // SQL mode: the PC clock set from the server before a settings write is sent; a database
    // failure refuses the write. Nothing to do for the local register.
    Outcome setPcClockFromServer();
    // The number "+" proposes: after the highest in the register, or the production
    // database's next unconfigured meter (nothing, with the reason, when there is none).
    std::optional<qint64> nextFreeNumber(Outcome *failure);
    // Before a serial-number frame goes to a meter that reports 0 (the write carries a
    // serial number): in SQL mode a number that already has a setting operation is refused.
    // The window checks before queuing, the command line before sending.
    Outcome numberFree(const SettingsWrite &write);
    // A completed write, with the drift per day shown when it completed (SQL mode).
    Outcome record(const SettingsWrite &write, const ReadoutForRecord &readout, const QString &driftText,
                   const QDateTime &now = QDateTime::currentDateTime());
    // The same with the readout of the poll cycle `meter` (readoutOf()). A schedule write
    // is recorded as a settings write: with the settings the front end names (the window's
    // boxes; none from the command line).
    Outcome record(const SettingsWrite &write, const MeterInfo &meter, const QString &driftText);
    // What a record failure after a completed write is told after: the meter keeps it.
    QString notRecordedPrefix() const;
    // The fix command: the readings alone, for a registered meter.
    Outcome recordFix(const ReadoutForRecord &readout, const QString &driftText);

private:
    ProductionSession *m_production;
};

} // namespace zk
