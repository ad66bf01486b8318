#include "link/frame.h"

#include "core/lebytes.h"

#include <QtGlobal>

#include <algorithm>
#include <iterator>

namespace zk {

quint16 crc16(const char *data, int size)
{
    quint16 crc = 0xFFFF;
    for (int i = 0; i < size; ++i) {
        crc ^= quint8(data[i]);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? quint16((crc >> 1) ^ 0xA001) : quint16(crc >> 1);
    }
    return crc;
}

QByteArray withCrc(QByteArray frame)
{
    const quint16 crc = crc16(frame);
    frame.append(char(crc & 0xFF));
    frame.append(char(crc >> 8));
    return frame;
}

bool crcMatches(const QByteArray &frame)
{
    if (frame.size() < 2)
        return false;
    const quint16 crc = crc16(frame.constData(), int(frame.size()) - 2);
    return quint8(frame.at(frame.size() - 2)) == (crc & 0xFF)
        && quint8(frame.at(frame.size() - 1)) == (crc >> 8);
}

QByteArray makeFrame(Head head, const QByteArray &data)
{
    Q_ASSERT(data.size() == head.length - 2);
    QByteArray frame;
    frame.reserve(head.length + 2);
    frame.append(char(head.function));
    frame.append(char(head.length));
    frame.append(data);
    return withCrc(frame);
}

bool isCatalogueFunction(quint8 function)
{
    return std::any_of(std::begin(Catalogue), std::end(Catalogue),
                       [function](Head head) { return head.function == function; });
}

bool isWriteFunction(quint8 function)
{
    return std::find(std::begin(WriteFunctions), std::end(WriteFunctions), function) != std::end(WriteFunctions);
}

QString errorCodeText(int code)
{
    switch (code) {
    case 1: return QStringLiteral("Ошибка: Неизвестная функция");
    case 2: return QStringLiteral("Ошибка: Неверная длина запроса");
    case 3: return QStringLiteral("Ошибка: Неверная контрольная сумма");
    case 4: return QStringLiteral("Ошибка: Неверные данные запроса");
    case 5: return QStringLiteral("Ошибка: Память защищена");
    case 6: return QStringLiteral("Ошибка: Доступ запрещен");
    default: return QStringLiteral("Неизвестная ошибка");
    }
}

QByteArray makeErrorReply(quint8 function, quint8 code)
{
    QByteArray frame;
    frame.append(char(function | 0x80));
    frame.append(char(0x03));
    frame.append(char(code));
    return withCrc(frame);
}

ReplyCheck checkReply(const QByteArray &buffer, quint8 requestFunction, bool awaiting)
{
    ReplyCheck result;
    const int size = int(buffer.size());

    if (size == 5 && quint8(buffer.at(0)) == quint8(requestFunction + 0x80)
        && quint8(buffer.at(1)) == 3 && crcMatches(buffer)) {
        result.verdict = Verdict::Rejected;
        result.errorReply = true;
        result.text = errorCodeText(quint8(buffer.at(2)));
        return result;
    }

    if (size < 2 || size < quint8(buffer.at(1)) + 2)
        return result; // incomplete

    const int length = quint8(buffer.at(1));
    result.verdict = Verdict::Rejected;
    if (!awaiting)
        return result; // late reply: rejected without a text
    if (quint8(buffer.at(0)) != requestFunction) {
        result.text = QStringLiteral("Неверный отклик");
        return result;
    }
    if (size > length + 2) {
        result.text = QStringLiteral("Отклик длиннее требуемого");
        return result;
    }
    if (!crcMatches(buffer)) {
        result.text = QStringLiteral("Ошибка контрольной суммы");
        return result;
    }
    result.verdict = Verdict::Accepted;
    return result;
}

std::optional<quint8> dataByte(const QByteArray &frame, int i)
{
    if (i < 0 || i >= dataSize(frame))
        return std::nullopt;
    return quint8(frame.at(2 + i));
}

quint32 dataNumber(const QByteArray &frame, int i, int bytes)
{
    return le::readU(frame, 2 + i, bytes);
}

int dataSize(const QByteArray &frame)
{
    if (frame.size() < 4)
        return 0;
    const int declared = quint8(frame.at(1)) - 2;
    const int present = int(frame.size()) - 4;
    return qMax(0, qMin(declared, present));
}

std::optional<FirmwareVersion> decodeVersion(const QByteArray &frame)
{
    const auto minor = dataByte(frame, 0);
    const auto major = dataByte(frame, 1);
    if (!minor || !major)
        return std::nullopt;
    FirmwareVersion v;
    v.number = bcd(*minor);
    v.text = QString::number(bcd(*major)) + QLatin1Char('.') + QString::number(v.number);
    return v;
}

QString hexBytes(const QByteArray &bytes)
{
    QString out;
    out.reserve(bytes.size() * 3);
    for (char c : bytes) {
        out += QStringLiteral("%1 ").arg(quint8(c), 2, 16, QLatin1Char('0')).toUpper();
    }
    return out;
}

} // namespace zk
