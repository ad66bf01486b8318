#include "records/dbftable.h"

#include "core/lebytes.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QDeadlineTimer>
#include <QRandomGenerator>
#include <QThread>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <csignal>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zk {

namespace {

constexpr char EndMarker = 0x1A;
constexpr char FieldsEnd = 0x0D;
constexpr quint8 LanguageCp1251 = 0xC9;
constexpr int HeaderSize = 32;
constexpr int DescriptorSize = 32;
constexpr qint64 ScanBufferBytes = 1 << 18;

// Windows-1251, 0x80..0xFF. 0x98 has no character.
constexpr char16_t Cp1251High[128] = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021, // 80
    0x20AC, 0x2030, 0x0409, 0x2039, 0x040A, 0x040C, 0x040B, 0x040F, // 88
    0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014, // 90
    0xFFFD, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F, // 98
    0x00A0, 0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6, 0x00A7, // A0
    0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407, // A8
    0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6, 0x00B7, // B0
    0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457, // B8
    // C0..FF: А..я in order
    0x0410, 0x0411, 0x0412, 0x0413, 0x0414, 0x0415, 0x0416, 0x0417,
    0x0418, 0x0419, 0x041A, 0x041B, 0x041C, 0x041D, 0x041E, 0x041F,
    0x0420, 0x0421, 0x0422, 0x0423, 0x0424, 0x0425, 0x0426, 0x0427,
    0x0428, 0x0429, 0x042A, 0x042B, 0x042C, 0x042D, 0x042E, 0x042F,
    0x0430, 0x0431, 0x0432, 0x0433, 0x0434, 0x0435, 0x0436, 0x0437,
    0x0438, 0x0439, 0x043A, 0x043B, 0x043C, 0x043D, 0x043E, 0x043F,
    0x0440, 0x0441, 0x0442, 0x0443, 0x0444, 0x0445, 0x0446, 0x0447,
    0x0448, 0x0449, 0x044A, 0x044B, 0x044C, 0x044D, 0x044E, 0x044F,
};

char cp1251Code(char16_t c)
{
    if (c < 0x80)
        return char(c);
    if (c >= 0x0410 && c <= 0x044F)
        return char(0xC0 + (c - 0x0410));
    for (int i = 0; i < 0x40; ++i) {
        if (Cp1251High[i] == c && c != 0xFFFD)
            return char(0x80 + i);
    }
    return '?';
}

// Bytes 1..3 of the header: the date of the last change, years counted from 1900.
void putToday(char *p)
{
    const QDate today = QDate::currentDate();
    p[0] = char(std::clamp(today.year() - 1900, 0, 255));
    p[1] = char(today.month());
    p[2] = char(today.day());
}

// Checks a field's declaration; returns an empty text when it is sound.
QString fieldProblem(const DbfField &f)
{
    if (f.name.isEmpty() || f.name.size() > 10)
        return QStringLiteral("имя поля «%1» должно иметь от 1 до 10 знаков").arg(f.name);
    for (QChar c : f.name) {
        if (c.unicode() <= 0x20 || c.unicode() >= 0x7F)
            return QStringLiteral("имя поля «%1» содержит недопустимый знак").arg(f.name);
    }
    switch (f.type) {
    case DbfType::Character:
        if (f.length < 1 || f.length > 254)
            return QStringLiteral("поле %1: длина %2 вне 1..254").arg(f.name).arg(f.length);
        break;
    case DbfType::Numeric:
        if (f.length < 1 || f.length > 20 || f.decimals < 0
            || (f.decimals > 0 && f.decimals > f.length - 2))
            return QStringLiteral("поле %1: размер N(%2,%3) недопустим").arg(f.name).arg(f.length).arg(f.decimals);
        break;
    case DbfType::Date:
        if (f.length != 8)
            return QStringLiteral("поле %1: длина поля даты должна быть 8").arg(f.name);
        break;
    case DbfType::Logical:
        if (f.length != 1)
            return QStringLiteral("поле %1: длина логического поля должна быть 1").arg(f.name);
        break;
    default:
        return QStringLiteral("поле %1: тип не поддерживается").arg(f.name);
    }
    return {};
}

// How long a lock is waited for before the table is reported busy.
constexpr int LockWaitMs = 3000;
constexpr int LockPollMs = 20;

// An advisory lock on the whole file for the life of the object (flock: held per open file,
// so two tables open on one file in the same program exclude each other too). Waits at most
// LockWaitMs; error() is EWOULDBLOCK when another holder kept it that long.
class FileLock
{
public:
    FileLock(int fd, int how) : m_fd(fd)
    {
        QDeadlineTimer deadline(LockWaitMs);
        int rc;
        for (;;) {
            rc = ::flock(fd, how | LOCK_NB);
            if (rc == 0)
                break;
            if (errno == EINTR)
                continue;
            if (errno != EWOULDBLOCK || deadline.hasExpired())
                break;
            QThread::msleep(LockPollMs);
        }
        m_error = rc == 0 ? 0 : errno;
    }
    ~FileLock()
    {
        if (m_error == 0)
            ::flock(m_fd, LOCK_UN);
    }
    int error() const { return m_error; }

private:
    int m_fd;
    int m_error;
};

// Writes all of `bytes` to `fd` and flushes them to disk; the errno of a failure, 0 on success.
// A write that takes nothing is an I/O error.
int writeWhole(int fd, const QByteArray &bytes)
{
    const char *p = bytes.constData();
    qsizetype left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, size_t(left));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return errno;
        if (n == 0)
            return EIO;
        p += n;
        left -= n;
    }
    return ::fsync(fd) == 0 ? 0 : errno;
}

// Writes `bytes` as an unnamed file in `dir` and links it in as `target`. False when the
// system cannot make or link an unnamed file there (the caller takes another way); true
// otherwise, with `err` the errno of a failure or 0.
bool linkWhole(const QByteArray &dir, const QByteArray &target, const QByteArray &bytes, int &err)
{
    const int fd = ::open(dir.constData(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
    if (fd < 0)
        return false;
    err = writeWhole(fd, bytes);
    bool done = true;
    if (err == 0) {
        const QByteArray self = "/proc/self/fd/" + QByteArray::number(fd);
        if (::linkat(AT_FDCWD, self.constData(), AT_FDCWD, target.constData(), AT_SYMLINK_FOLLOW) != 0) {
            err = errno;
            done = err == EEXIST || err == ENOSPC || err == EDQUOT || err == EROFS;
        }
    }
    ::close(fd);
    return done;
}

QString errnoText(int err)
{
    return QString::fromLocal8Bit(std::strerror(err));
}

} // namespace

QByteArray toCp1251(QStringView text)
{
    QByteArray out(text.size(), Qt::Uninitialized);
    char *p = out.data();
    for (QChar c : text)
        *p++ = cp1251Code(c.unicode());
    return out;
}

QString fromCp1251(QByteArrayView bytes)
{
    QString out(bytes.size(), Qt::Uninitialized);
    QChar *p = out.data();
    for (char b : bytes) {
        const quint8 u = quint8(b);
        *p++ = QChar(u < 0x80 ? char16_t(u) : Cp1251High[u - 0x80]);
    }
    return out;
}

// ---- DbfRow

QByteArrayView DbfRow::raw(int field) const
{
    const DbfField &f = m_table->m_fields.at(field);
    return QByteArrayView(m_bytes + 1 + m_table->m_offsets.at(field), f.length);
}

std::optional<double> DbfRow::number(int field) const
{
    QByteArrayView bytes = raw(field);
    qsizetype b = 0;
    qsizetype e = bytes.size();
    while (b < e && (bytes[b] == ' ' || bytes[b] == '\0'))
        ++b;
    while (e > b && (bytes[e - 1] == ' ' || bytes[e - 1] == '\0'))
        --e;
    if (b < e && bytes[b] == '+')
        ++b;
    if (b == e || e - b > 40)
        return std::nullopt;
    // Up to 15 digits with a point: an integer below 2^53 divided by an exact power of ten,
    // which rounds as correctly as the general parser and saves most of a scan's time.
    {
        static constexpr double Pow10[] = {1, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8,
                                           1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
        qsizetype i = b;
        const bool negative = bytes[i] == '-';
        if (negative)
            ++i;
        qint64 mantissa = 0;
        int digits = 0;
        int decimals = -1;
        for (; i < e && digits <= 15; ++i) {
            const char c = bytes[i];
            if (c >= '0' && c <= '9') {
                mantissa = mantissa * 10 + (c - '0');
                ++digits;
                if (decimals >= 0)
                    ++decimals;
            } else if ((c == '.' || c == ',') && decimals < 0) {
                decimals = 0;
            } else {
                break;
            }
        }
        if (i == e && digits > 0 && digits <= 15) {
            const double value = double(mantissa) / Pow10[std::max(decimals, 0)];
            return negative ? -value : value;
        }
    }
    char text[40];
    for (qsizetype i = b; i < e; ++i)
        text[i - b] = bytes[i] == ',' ? '.' : bytes[i];
    double value = 0;
    const char *end = text + (e - b);
    const auto [ptr, ec] = std::from_chars(text, end, value);
    if (ec != std::errc() || ptr != end || !std::isfinite(value))
        return std::nullopt;
    return value;
}

int DbfRow::dateKey(int field) const
{
    const QByteArrayView bytes = raw(field);
    if (bytes.size() != 8)
        return 0;
    int key = 0;
    for (char c : bytes) {
        if (c < '0' || c > '9')
            return 0;
        key = key * 10 + (c - '0');
    }
    if (!QDate::isValid(key / 10000, key / 100 % 100, key % 100))
        return 0;
    return key;
}

QVariant DbfRow::value(int field) const
{
    const QByteArrayView bytes = raw(field);
    switch (m_table->m_fields.at(field).type) {
    case DbfType::Character: {
        qsizetype e = bytes.size();
        while (e > 0 && (bytes[e - 1] == ' ' || bytes[e - 1] == '\0'))
            --e;
        return e == 0 ? QVariant() : QVariant(fromCp1251(bytes.first(e)));
    }
    case DbfType::Numeric: {
        const std::optional<double> n = number(field);
        return n ? QVariant(*n) : QVariant();
    }
    case DbfType::Date: {
        const int key = dateKey(field);
        return key == 0 ? QVariant() : QVariant(QDate(key / 10000, key / 100 % 100, key % 100));
    }
    case DbfType::Logical:
        switch (bytes.front()) {
        case 'T': case 't': case 'Y': case 'y':
            return true;
        case 'F': case 'f': case 'N': case 'n':
            return false;
        default:
            return QVariant();
        }
    }
    return QVariant();
}

// ---- DbfTable

DbfTable::DbfTable(DbfTable &&other) noexcept
{
    *this = std::move(other);
}

DbfTable &DbfTable::operator=(DbfTable &&other) noexcept
{
    if (this != &other) {
        if (m_fd >= 0)
            ::close(m_fd);
        m_path = std::move(other.m_path);
        m_fd = std::exchange(other.m_fd, -1);
        m_writable = other.m_writable;
        m_fields = std::move(other.m_fields);
        m_offsets = std::move(other.m_offsets);
        m_headerLength = other.m_headerLength;
        m_recordLength = other.m_recordLength;
    }
    return *this;
}

DbfTable::~DbfTable()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

void DbfTable::fail(const QString &what) const
{
    throw DbfError(QStringLiteral("Таблица «%1»: %2").arg(QDir::toNativeSeparators(m_path), what));
}

void DbfTable::failErrno(const QString &what, int err) const
{
    fail(QStringLiteral("%1: %2").arg(what, errnoText(err)));
}

void DbfTable::checkLock(int err) const
{
    if (err == EWOULDBLOCK)
        fail(QStringLiteral("таблица занята другой программой (файл заблокирован дольше %1 с)").arg(LockWaitMs / 1000));
    if (err != 0)
        failErrno(QStringLiteral("не удаётся заблокировать файл"), err);
}

void DbfTable::preadAll(char *data, qint64 size, qint64 offset, const char *cutShort) const
{
    while (size > 0) {
        const ssize_t n = ::pread(m_fd, data, size_t(size), off_t(offset));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            failErrno(QStringLiteral("ошибка чтения"), errno);
        }
        if (n == 0)
            fail(QString::fromUtf8(cutShort));
        data += n;
        size -= n;
        offset += n;
    }
}

void DbfTable::pwriteAll(const char *data, qint64 size, qint64 offset)
{
    while (size > 0) {
        const ssize_t n = ::pwrite(m_fd, data, size_t(size), off_t(offset));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            failErrno(QStringLiteral("ошибка записи"), errno);
        }
        if (n == 0)
            failErrno(QStringLiteral("ошибка записи"), EIO);
        data += n;
        size -= n;
        offset += n;
    }
}

DbfTable DbfTable::open(const QString &path)
{
    DbfTable t;
    t.m_path = path;
    const QByteArray native = QFile::encodeName(path);
    t.m_fd = ::open(native.constData(), O_RDWR | O_CLOEXEC);
    t.m_writable = t.m_fd >= 0;
    if (t.m_fd < 0 && (errno == EACCES || errno == EROFS || errno == EPERM))
        t.m_fd = ::open(native.constData(), O_RDONLY | O_CLOEXEC);
    if (t.m_fd < 0)
        t.failErrno(QStringLiteral("не открывается"), errno);
    t.readLayout();
    return t;
}

void DbfTable::readLayout()
{
    const FileLock lock(m_fd, LOCK_SH);
    checkLock(lock.error());
    struct stat st;
    if (::fstat(m_fd, &st) != 0)
        failErrno(QStringLiteral("ошибка чтения"), errno);
    if (!S_ISREG(st.st_mode))
        fail(QStringLiteral("это не файл"));
    const char *cut = "файл обрывается внутри заголовка таблицы dBASE";
    if (st.st_size < HeaderSize)
        fail(QString::fromUtf8(cut));
    char head[HeaderSize];
    preadAll(head, HeaderSize, 0, cut);

    const QString notDbf = QStringLiteral("файл не является таблицей dBASE (%1)");
    const quint8 version = quint8(head[0]);
    if ((version & 0x07) != 0x03)
        fail(notDbf.arg(QStringLiteral("байт версии 0x%1").arg(version, 2, 16, QChar('0'))));
    if (quint8(head[2]) > 12 || quint8(head[3]) > 31)
        fail(notDbf.arg(QStringLiteral("неверная дата изменения")));
    m_headerLength = le::readU16(head + 8);
    m_recordLength = le::readU16(head + 10);
    if (m_headerLength < HeaderSize + DescriptorSize + 1)
        fail(notDbf.arg(QStringLiteral("длина заголовка %1").arg(m_headerLength)));
    if (st.st_size < m_headerLength)
        fail(QString::fromUtf8(cut));

    QByteArray header(m_headerLength, Qt::Uninitialized);
    preadAll(header.data(), m_headerLength, 0, cut);
    int pos = HeaderSize;
    int sum = 1;
    m_fields.clear();
    m_offsets.clear();
    while (header.at(pos) != FieldsEnd) {
        if (pos + DescriptorSize >= m_headerLength)
            fail(notDbf.arg(QStringLiteral("нет конца списка полей")));
        const char *d = header.constData() + pos;
        DbfField f;
        const int nameLength = int(qstrnlen(d, 11));
        f.name = QString::fromLatin1(d, nameLength);
        const char type = d[11];
        f.type = type == 'F' ? DbfType::Numeric : DbfType(type);
        f.length = quint8(d[16]);
        f.decimals = f.type == DbfType::Numeric ? quint8(d[17]) : 0;
        if (type != 'C' && type != 'N' && type != 'F' && type != 'D' && type != 'L') {
            if (type < 0x20 || type > 0x7E)
                fail(notDbf.arg(QStringLiteral("поле с кодом типа 0x%1").arg(quint8(type), 2, 16, QChar('0'))));
            fail(QStringLiteral("поле %1 типа %2 не поддерживается").arg(f.name, QChar::fromLatin1(type)));
        }
        if (const QString problem = fieldProblem(f); !problem.isEmpty())
            fail(notDbf.arg(problem));
        m_offsets.append(sum - 1);
        m_fields.append(f);
        sum += f.length;
        pos += DescriptorSize;
    }
    if (m_fields.isEmpty())
        fail(notDbf.arg(QStringLiteral("нет полей")));
    if (m_headerLength != pos + 1)
        fail(notDbf.arg(QStringLiteral("длина заголовка %1, по описаниям полей %2").arg(m_headerLength).arg(pos + 1)));
    if (sum != m_recordLength)
        fail(notDbf.arg(QStringLiteral("длина записи %1, сумма длин полей %2").arg(m_recordLength).arg(sum)));
}

DbfTable DbfTable::create(const QString &path, const QVector<DbfField> &fields)
{
    auto fail = [&](const QString &what) -> void {
        throw DbfError(QStringLiteral("Таблица «%1»: %2").arg(QDir::toNativeSeparators(path), what));
    };
    if (fields.isEmpty() || fields.size() > 255)
        fail(QStringLiteral("число полей должно быть от 1 до 255"));
    QByteArray bytes(HeaderSize + DescriptorSize * fields.size() + 2, '\0');
    char *head = bytes.data();
    int recordLength = 1;
    QStringList names;
    for (int i = 0; i < fields.size(); ++i) {
        DbfField f = fields.at(i);
        f.name = f.name.toUpper();
        if (f.type != DbfType::Numeric)
            f.decimals = 0;
        if (const QString problem = fieldProblem(f); !problem.isEmpty())
            fail(problem);
        if (names.contains(f.name))
            fail(QStringLiteral("поле %1 встречается дважды").arg(f.name));
        names.append(f.name);
        char *d = head + HeaderSize + DescriptorSize * i;
        const QByteArray name = f.name.toLatin1();
        std::memcpy(d, name.constData(), size_t(name.size()));
        d[11] = char(f.type);
        d[16] = char(f.length);
        d[17] = char(f.decimals);
        recordLength += f.length;
    }
    if (recordLength > 0xFFFF)
        fail(QStringLiteral("запись длиннее 65535 байт"));
    head[0] = 0x03;
    putToday(head + 1);
    le::writeU32(head + 4, 0);
    le::writeU16(head + 8, quint16(bytes.size() - 1));
    le::writeU16(head + 10, quint16(recordLength));
    head[29] = char(LanguageCp1251);
    bytes[bytes.size() - 2] = FieldsEnd;
    bytes[bytes.size() - 1] = EndMarker;

    // Written whole, then linked in under the name: no other program ever sees a partial
    // header, and an existing file is never replaced. The file is written unnamed where the
    // file system allows (a program killed meanwhile leaves nothing); elsewhere under a private
    // name, and the private names left by programs that died are removed first.
    const QByteArray native = QFile::encodeName(path);
    const QByteArray dir = QFile::encodeName(QFileInfo(path).absolutePath());
    int err = 0;
    if (!linkWhole(dir, native, bytes, err)) {
        removeLeftovers(path);
        QByteArray temp;
        int fd = -1;
        for (int attempt = 0; fd < 0 && attempt < 20; ++attempt) {
            temp = native + ".new-" + QByteArray::number(::getpid()) + '-'
                + QByteArray::number(QRandomGenerator::global()->generate(), 16);
            fd = ::open(temp.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            if (fd < 0 && errno != EEXIST)
                fail(QStringLiteral("не создаётся: %1").arg(errnoText(errno)));
        }
        if (fd < 0)
            fail(QStringLiteral("не создаётся: нет свободного временного имени"));
        err = writeWhole(fd, bytes);
        ::close(fd);
        if (err == 0 && ::link(temp.constData(), native.constData()) != 0)
            err = errno;
        ::unlink(temp.constData());
    }
    if (err == EEXIST)
        fail(QStringLiteral("не создаётся: файл уже существует"));
    if (err != 0)
        fail(QStringLiteral("не создаётся: %1").arg(errnoText(err)));
    const int dirFd = ::open(dir.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
    return open(path);
}

void DbfTable::removeLeftovers(const QString &path)
{
    const QFileInfo file(path);
    const QString prefix = file.fileName() + QStringLiteral(".new-");
    QDir dir = file.absoluteDir();
    for (const QString &name : dir.entryList({prefix + QLatin1Char('*')}, QDir::Files | QDir::Hidden)) {
        bool ok = false;
        const qint64 pid = QStringView(name).mid(prefix.size()).split(u'-').value(0).toLongLong(&ok);
        if (ok && pid > 0 && ::kill(pid_t(pid), 0) != 0 && errno == ESRCH)
            dir.remove(name);
    }
}

int DbfTable::fieldIndex(QStringView name) const
{
    for (int i = 0; i < m_fields.size(); ++i) {
        if (m_fields.at(i).name.compare(name, Qt::CaseInsensitive) == 0)
            return i;
    }
    return -1;
}

int DbfTable::column(QStringView name) const
{
    const int i = fieldIndex(name);
    if (i < 0)
        fail(QStringLiteral("нет поля %1").arg(name));
    return i;
}

// The records in a file of `size` bytes whose header counts `counted`; the caller holds a
// lock. A count larger than the file holds gives the complete records there are. Whole
// records after the counted ones (written by a program that did not raise the count, or by
// an append cut short after its flag byte) are records too, as for readers that go to the end
// marker: they count up to the first place that starts with the end marker. What follows
// that place is no record for any reader.
qint64 DbfTable::presentRecords(qint64 counted, qint64 size) const
{
    const qint64 complete = std::max<qint64>(0, (size - m_headerLength) / m_recordLength);
    qint64 count = std::min(counted, complete);
    for (char flag = 0; count < complete; ++count) {
        preadAll(&flag, 1, m_headerLength + count * m_recordLength, "файл обрывается внутри записей");
        if (flag == EndMarker)
            break;
    }
    return count;
}

// The count as it stands, read under a shared lock so that no append is half-way through.
qint64 DbfTable::countNow() const
{
    const FileLock lock(m_fd, LOCK_SH);
    checkLock(lock.error());
    return countLocked();
}

qint64 DbfTable::countLocked() const
{
    char head[12];
    struct stat st;
    preadAll(head, sizeof head, 0, "файл обрывается внутри заголовка таблицы dBASE");
    if (::fstat(m_fd, &st) != 0)
        failErrno(QStringLiteral("ошибка чтения"), errno);
    if (le::readU16(head + 8) != m_headerLength || le::readU16(head + 10) != m_recordLength)
        fail(QStringLiteral("заголовок таблицы изменён другой программой"));
    return presentRecords(le::readU32(head + 4), qint64(st.st_size));
}

qint64 DbfTable::recordCount() const
{
    return countNow();
}

QByteArray DbfTable::encode(const QVariantList &values) const
{
    if (values.size() != m_fields.size())
        fail(QStringLiteral("в записи %1 значений, полей %2").arg(values.size()).arg(m_fields.size()));
    QByteArray record(m_recordLength, ' ');
    for (int i = 0; i < m_fields.size(); ++i) {
        const DbfField &f = m_fields.at(i);
        const QVariant &v = values.at(i);
        char *out = record.data() + 1 + m_offsets.at(i);
        if (!v.isValid() || v.isNull())
            continue;
        const int typeId = v.typeId();
        auto wrongKind = [&] {
            fail(QStringLiteral("поле %1: значение типа %2 не подходит").arg(f.name, QString::fromLatin1(v.typeName())));
        };
        switch (f.type) {
        case DbfType::Character: {
            if (typeId != QMetaType::QString)
                wrongKind();
            const QByteArray text = toCp1251(v.toString());
            std::memcpy(out, text.constData(), size_t(std::min<qsizetype>(text.size(), f.length)));
            break;
        }
        case DbfType::Numeric: {
            QByteArray text;
            switch (typeId) {
            case QMetaType::Int: case QMetaType::UInt: case QMetaType::Short: case QMetaType::UShort:
            case QMetaType::Long: case QMetaType::LongLong:
                text = f.decimals == 0 ? QByteArray::number(v.toLongLong())
                                       : QByteArray::number(double(v.toLongLong()), 'f', f.decimals);
                break;
            case QMetaType::Double: case QMetaType::Float: {
                const double d = v.toDouble();
                if (!std::isfinite(d))
                    fail(QStringLiteral("поле %1: значение не является числом").arg(f.name));
                text = QByteArray::number(d, 'f', f.decimals);
                if (text.startsWith("-") && text.count('0') + text.count('.') == text.size() - 1)
                    text.remove(0, 1); // no "-0"
                break;
            }
            default:
                wrongKind();
            }
            if (text.size() > f.length)
                fail(QStringLiteral("поле %1: число %2 не помещается в N(%3,%4)")
                         .arg(f.name, QString::fromLatin1(text)).arg(f.length).arg(f.decimals));
            std::memcpy(out + f.length - text.size(), text.constData(), size_t(text.size()));
            break;
        }
        case DbfType::Date: {
            if (typeId != QMetaType::QDate)
                wrongKind();
            const QDate d = v.toDate();
            if (!d.isValid())
                break;
            if (d.year() < 1 || d.year() > 9999)
                fail(QStringLiteral("поле %1: год %2 вне 1..9999").arg(f.name).arg(d.year()));
            const QByteArray text = QByteArray::number(d.year()).rightJustified(4, '0')
                + QByteArray::number(d.month()).rightJustified(2, '0')
                + QByteArray::number(d.day()).rightJustified(2, '0');
            std::memcpy(out, text.constData(), 8);
            break;
        }
        case DbfType::Logical:
            if (typeId != QMetaType::Bool)
                wrongKind();
            *out = v.toBool() ? 'T' : 'F';
            break;
        }
    }
    return record;
}

void DbfTable::checkAppendable() const
{
    if (!m_writable)
        fail(QStringLiteral("открыта только для чтения"));
    const FileLock lock(m_fd, LOCK_EX);
    checkLock(lock.error());
}

void DbfTable::append(const QVariantList &values)
{
    const QByteArray record = encode(values);
    if (!m_writable)
        fail(QStringLiteral("открыта только для чтения"));

    const FileLock lock(m_fd, LOCK_EX);
    checkLock(lock.error());
    // Another program may have appended since we last looked: take the count afresh.
    const qint64 count = countLocked();
    struct stat st;
    if (::fstat(m_fd, &st) != 0)
        failErrno(QStringLiteral("ошибка чтения"), errno);
    if (count >= 0xFFFFFFFFLL)
        fail(QStringLiteral("таблица заполнена"));
    const qint64 at = m_headerLength + count * m_recordLength;
    const qint64 end = at + m_recordLength + 1;

    auto sync = [&](bool metadata) {
        if ((metadata ? ::fsync(m_fd) : ::fdatasync(m_fd)) != 0)
            failErrno(QStringLiteral("ошибка записи на диск"), errno);
    };

    // The byte at the new record's place is the end marker for every reader until the record
    // behind it is on disk; remains of an append cut short may stand there instead.
    char here = 0;
    const bool hasMarker = st.st_size > at && ::pread(m_fd, &here, 1, at) == 1 && here == EndMarker;
    if (!hasMarker) {
        pwriteAll(&EndMarker, 1, at);
        sync(false);
    }
    // 1. The record after its flag byte, and the new end marker.
    QByteArray body = record.mid(1);
    body.append(EndMarker);
    pwriteAll(body.constData(), body.size(), at + 1);
    if (st.st_size > end && ::ftruncate(m_fd, end) != 0)
        failErrno(QStringLiteral("ошибка записи"), errno);
    sync(false);
    // 2. The flag byte: readers that go to the end marker now see the record.
    pwriteAll(record.constData(), 1, at);
    // 3. The header: date of change and count, for readers that trust the count.
    char update[7];
    putToday(update);
    le::writeU32(update + 3, quint32(count + 1));
    pwriteAll(update, sizeof update, 1);
    sync(true);
}

void DbfTable::scan(const std::function<bool(const DbfRow &)> &visit) const
{
    const qint64 count = countNow();
    if (count == 0)
        return;
    const qint64 perChunk = std::max<qint64>(1, ScanBufferBytes / m_recordLength);
    QByteArray buffer(perChunk * m_recordLength, Qt::Uninitialized);
    ::posix_fadvise(m_fd, m_headerLength, count * m_recordLength, POSIX_FADV_SEQUENTIAL);
    for (qint64 first = 0; first < count; first += perChunk) {
        const qint64 n = std::min(perChunk, count - first);
        preadAll(buffer.data(), n * m_recordLength, m_headerLength + first * m_recordLength,
                 "файл обрывается внутри записей");
        const char *p = buffer.constData();
        for (qint64 i = 0; i < n; ++i, p += m_recordLength) {
            if (!visit(DbfRow(*this, p, first + i)))
                return;
        }
    }
}

QVariantList DbfTable::record(qint64 index) const
{
    if (index < 0 || index >= countNow())
        fail(QStringLiteral("нет записи %1").arg(index));
    QByteArray bytes(m_recordLength, Qt::Uninitialized);
    preadAll(bytes.data(), m_recordLength, m_headerLength + index * m_recordLength,
             "файл обрывается внутри записей");
    const DbfRow row(*this, bytes.constData(), index);
    QVariantList values;
    values.reserve(m_fields.size());
    for (int i = 0; i < m_fields.size(); ++i)
        values.append(row.value(i));
    return values;
}

} // namespace zk
