#pragma once
// What the command line prints: JSON objects and readable Russian text, made
// from the same decoded values the window shows.

#include "cli/options.h"
#include "meter/meterinfo.h"
#include "ops/linecheck.h"
#include "ops/settingsoperation.h"

#include <QJsonObject>
#include <QLocale>
#include <QString>

namespace zk::cli {

// One object with every value of a poll cycle.
QJsonObject infoJson(const MeterInfo &info);
// One value a line, labelled as the window labels it.
QString infoText(const MeterInfo &info, const QLocale &locale = QLocale());

// The line check: what was found and the problems, as one object and as lines.
QJsonObject lineReportJson(const LineReport &report, const QStringList &problems);
QString lineReportText(const LineReport &report, const QStringList &problems);

QJsonObject statusJson(quint8 status);
QString statusText(quint8 status);

// A JSON document as one line of text with a final newline.
QString jsonLine(const QJsonObject &object);

// Text on stdout as it stands, and a line on stderr.
void printOut(const QString &text);
void printErr(const QString &line);

// The end of a command that writes: with --json the verdict as one object (its error
// the failure's text), otherwise `text` on stderr, and after a failure what stays
// written. Returns `exit`.
int finish(const Options &options, FrameVerdict verdict, int exit, const QString &text);
// The same after a failure already said on stderr: with --json its text is the error.
int finishSaid(const Options &options, int exit, const QString &said);
// A usage error of a command that ends with the verdict: with --json the verdict object
// too, its error the text. Returns ExitUsage.
int verdictUsageError(bool json, const QString &text);

// The end of a write read back: ExitDone with `text` when the meter keeps everything,
// ExitMismatch naming each value written and read otherwise; what is not read back said.
int finishVerified(const Options &options, FrameVerdict verdict, const QString &text);

// A dry run's end: each frame that would be sent, one a line as upper-case hex bytes and
// the word for what it writes; with --json {"frames": [{"name", "hex"}]}. Returns ExitDone.
int printFrames(const Options &options, const QList<QByteArray> &frames);

} // namespace zk::cli
