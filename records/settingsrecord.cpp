#include "records/settingsrecord.h"

namespace zk {

namespace {
// A whole number, 0 for any other text.
qint64 wholeOrZero(const QString &text)
{
    bool ok = false;
    const qint64 v = text.trimmed().toLongLong(&ok);
    return ok ? v : 0;
}
} // namespace

SettingsRecord buildSettingsRecord(const SettingsWrite &w, const ReadoutForRecord &r, const QLocale &locale)
{
    SettingsRecord rec;
    rec.number = r.serial;
    rec.version = r.version;
    rec.address = w.address;
    rec.turnOn = double(wholeOrZero(r.turnOnCount));
    rec.status = r.status;
    if (w.clock) {
        rec.clockDate = w.clock->date;
        rec.clockTime = w.clock->time;
        rec.summer = w.clock->summer;
    }
    if (w.newPassword)
        rec.password = double(wholeOrZero(*w.newPassword));
    rec.readings = readingsFromTexts(r.readings, locale);
    if (w.ddm)
        for (int i = 0; i < 3; ++i)
            rec.ddm[size_t(i)] = double((*w.ddm)[size_t(i)]);
    if (w.billing) {
        rec.countDay = w.billing->day;
        rec.countHour = w.billing->hour;
    }
    rec.nCorrect = int(wholeOrZero(r.corrections));
    if (w.indication)
        rec.indicator = *w.indication;
    return rec;
}

} // namespace zk
