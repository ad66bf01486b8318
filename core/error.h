#pragma once
// The one error type of the program. Every failure a subsystem throws is a zk::Error
// (or one of its kinds below it), so one catch clause serves them all and text() gives
// the message as the operator reads it. what() is the same text in UTF-8.
//
// Header-only and Qt Core only, so that every library, the stand-alone workbook writer
// included, can throw it without linking anything of the project.

#include <QString>
#include <stdexcept>

namespace zk {

class Error : public std::runtime_error
{
public:
    explicit Error(const QString &text)
        : std::runtime_error(text.toStdString()), m_text(text) {}
    QString text() const { return m_text; }

private:
    QString m_text;
};

// The kind of the errors of stored data: a table, the database, a file being written.
class StorageError : public Error
{
public:
    using Error::Error;
};

} // namespace zk
