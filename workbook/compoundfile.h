#pragma once

#include <QByteArray>
#include <QString>

namespace zk {

// Wraps one stream into a compound document (version 3, 512-byte sectors) whose
// root storage holds that stream alone under the given name. Streams shorter
// than 4096 bytes are padded with zero bytes to 4096, so every stream lives in
// ordinary sectors and the file needs no mini stream. Throws WorkbookError when
// the stream is too large for the format or the name too long.
QByteArray compoundFile(const QString &streamName, const QByteArray &stream);

} // namespace zk
