#pragma once
// What the command line prints: JSON objects and readable Russian text, made
// from the same decoded values the window shows.

#include "meter/meterinfo.h"

#include <QJsonObject>
#include <QLocale>
#include <QString>

namespace zk::cli {

// One object with every value of a poll cycle.
QJsonObject infoJson(const MeterInfo &info);
// One value a line, labelled as the window labels it.
QString infoText(const MeterInfo &info, const QLocale &locale = QLocale());

QJsonObject statusJson(quint8 status);
QString statusText(quint8 status);

// A JSON document as one line of text with a final newline.
QString jsonLine(const QJsonObject &object);

} // namespace zk::cli
