#include "ops/settingsoperation.h"

#include "ops/rules.h"

#include <QJsonArray>

namespace zk {

SettingsWrite settingsWithDefaults(const Modes &modes, const MeterInfo &meter, const SettingsRequest &request)
{
    SettingsWrite w = request.write;
    if (w.clock && !request.summerGiven)
        w.clock->summer = meter.clock ? meter.clock->summer : false;
    if (correctionByDefault(modes) && !w.correction && !request.noCorrection && meter.correction)
        w.correction = meter.correction;
    if (w.serial && !w.address && serialEditableFor(meter.serial.value_or(0)))
        w.address = proposedAddress(modes, *w.serial);
    return w;
}

QString settingsWriteProblem(const Modes &modes, int reportedSerial, const SettingsWrite &write)
{
    if (write.serial)
        if (const QString p = serialWriteProblem(modes, reportedSerial); !p.isEmpty())
            return p;
    if (write.newPassword)
        if (const QString p = newPasswordProblem(modes); !p.isEmpty())
            return p;
    return settingsProblem(write);
}

Outcome SettingsWriteOperation::prepare(const SettingsWrite &write, const MeterInfo &meter)
{
    m_write = write;
    m_meter = meter;
    if (const QString p = settingsWriteProblem(m_modes, meter.serial.value_or(0), write); !p.isEmpty())
        return Outcome::failure(Outcome::Invalid, QStringLiteral("Ошибка записи"), p);
    return Outcome{};
}

Outcome SettingsWriteOperation::prepare(const SettingsRequest &request, const MeterInfo &meter)
{
    return prepare(settingsWithDefaults(m_modes, meter, request), meter);
}

Outcome SettingsWriteOperation::clearToSend()
{
    // A meter whose write could not be recorded is not written.
    if (const Outcome ready = m_records.ready(m_write, m_meter); !ready.ok())
        return ready;
    if (m_records.production()) {
        if (const Outcome clock = m_records.setPcClockFromServer(); !clock.ok())
            return clock;
    }
    // Looked up again just before sending, so that a number another bench has written
    // meanwhile is not written twice.
    return m_records.numberFree(m_write);
}

ReadoutForRecord readoutOf(const MeterInfo &meter, const SettingsWrite &write)
{
    ReadoutForRecord r;
    r.serial = write.serial ? *write.serial : meter.serial.value_or(0);
    r.version = meter.version ? meter.version->text : QString();
    r.turnOnCount = meter.turnOn ? QString::number(meter.turnOn->halfMinutes) : QString();
    r.status = meter.status.value_or(0);
    if (meter.readings) {
        for (quint64 count : meter.readings->current)
            r.readings << formatReading(readingValue(count));
        if (meter.readings->billing)
            for (quint64 count : *meter.readings->billing)
                r.readings << formatReading(readingValue(count));
    }
    r.corrections = meter.turnOn ? QString::number(meter.turnOn->corrections) : QString();
    return r;
}

void FrameVerdict::takeReadBack(const ReadBackVerdict &readBack)
{
    mismatches = readBack.mismatches;
    notReadBack = readBack.notReadBack;
    verified = readBack.kept();
}

QJsonObject FrameVerdict::toJson() const
{
    QJsonArray names;
    for (quint8 f : acknowledged)
        names.append(frameName(f));
    QJsonObject o;
    o[QStringLiteral("ok")] = ok;
    o[QStringLiteral("acknowledged")] = names;
    o[QStringLiteral("failed")] = failed ? QJsonValue(frameName(*failed)) : QJsonValue(QJsonValue::Null);
    o[QStringLiteral("error")] = error.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(error);
    o[QStringLiteral("verified")] = verified ? QJsonValue(*verified) : QJsonValue(QJsonValue::Null);
    o[QStringLiteral("mismatches")] = mismatchesJson(mismatches);
    o[QStringLiteral("not_read_back")] = QJsonArray::fromStringList(notReadBack);
    return o;
}

QString FrameVerdict::acknowledgedText() const
{
    QStringList names;
    for (quint8 f : acknowledged)
        names << frameName(f);
    return names.isEmpty() ? QStringLiteral("Счетчик не подтвердил ни одного запроса; ничего не записано.")
                           : QStringLiteral("Подтверждены счетчиком и остаются записанными: %1.")
                                 .arg(names.join(QStringLiteral(", ")));
}

} // namespace zk
