#pragma once
// Recording what was done to a meter: the local register in the working directory, or in
// SQL mode the production database with the bench identified. Each step ends in an
// Outcome that the window shows as a message box and the command line as a text with its
// exit status.

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

    // The drift per day of the meter `serial` whose clock read `meterClock` when the PC's
    // read `arrival`, as "Уход за сутки" shows it; empty without a last setting time.
    // Throws DatabaseError.
    QString driftText(int serial, const QDateTime &meterClock, const QDateTime &arrival);

    // The meter may get a recorded write: registered and not under repair.
    Outcome writeAllowed(int serial);
    // The number may still go to a meter that reports 0: no setting operation has it yet.
    // Refused: "Номер N уже записан в другой счетчик.", caption "Ошибка записи в БД".
    Outcome numberFree(int serial);
    // Registers a defect of the meter `serial`.
    Outcome registerDefect(int serial, const QString &code);

private:
    std::unique_ptr<ProductionDatabase> m_database;
    BenchIdentity m_bench;
};

// Where completed writes go.
class WriteRecords
{
public:
    // `production` in SQL mode (the caller keeps it), null for the local register.
    explicit WriteRecords(ProductionSession *production) : m_production(production) {}

    bool production() const { return m_production != nullptr; }
    // Before anything is sent: the register opens (or is created), or the meter is
    // registered and not under repair.
    Outcome ready(int serial);
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
    // The fix command: the readings alone, for a registered meter.
    Outcome recordFix(const ReadoutForRecord &readout, const QString &driftText);

private:
    ProductionSession *m_production;
};

} // namespace zk
