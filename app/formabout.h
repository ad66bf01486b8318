#pragma once

// The About window: product title, version, the maker's contact details and
// the physical memory of the PC. Created once at program start and shown
// modally from the menu "&?".

#include <QDialog>
#include <QLocale>
#include <QString>
#include <QUrl>

#include <functional>

class QGroupBox;
class QLabel;
class QPushButton;
class QFrame;

namespace zk {

// Physical memory as the kernel reports it, in bytes. The figures are 64-bit:
// machines with 4 GiB and more are common.
struct MemInfo
{
    quint64 totalBytes = 0;
    quint64 availableBytes = 0;
    bool ok = false; // the total was found
};

// Parses the text of /proc/meminfo. Available memory is "MemAvailable", or
// "MemFree" + "Buffers" + "Cached" on kernels that do not report it.
MemInfo parseMemInfo(const QByteArray &text);
MemInfo readMemInfo(const QString &path = QStringLiteral("/proc/meminfo"));

// Bytes as whole kilobytes (rounded) with the locale's thousands separator;
// an empty text when that rounds to 0.
QString formatKilobytes(quint64 bytes, const QLocale &locale = QLocale());

struct MemoryFigures
{
    QString total;     // "Всего физической памяти: 1 048 576 KB"
    QString available; // "Доступно физической памяти: 0 KB"
};
MemoryFigures memoryFigures(const MemInfo &info, const QLocale &locale = QLocale());

class AboutBox : public QDialog
{
    Q_OBJECT
public:
    explicit AboutBox(QWidget *parent = nullptr);

    // Where the memory figures come from (for tests); /proc/meminfo by default.
    void setMemInfoPath(const QString &path) { memInfoPath_ = path; }
    // How links are opened; QDesktopServices::openUrl by default. The result
    // is not examined: a link that cannot be opened is not reported.
    void setUrlOpener(std::function<bool(const QUrl &)> opener);

    // Re-reads the memory figures into Label1 and Label2.
    void refreshMemory();

    // The addresses behind the two link labels.
    QUrl webUrl() const;
    QUrl mailUrl() const;

    QFrame *Panel1 = nullptr;
    QLabel *ProductName = nullptr;
    QLabel *Label11 = nullptr;
    QFrame *Panel2 = nullptr;
    QLabel *Image2 = nullptr;
    QLabel *Version = nullptr;
    QLabel *Copyright = nullptr;
    QGroupBox *GroupBox1 = nullptr;
    QLabel *Label3 = nullptr; // web address
    QLabel *Label6 = nullptr; // e-mail address
    QLabel *Label8 = nullptr; // telephones
    QLabel *Label9 = nullptr;
    QLabel *Image1 = nullptr; // the maker's logo
    QLabel *Label1 = nullptr; // total physical memory
    QLabel *Label2 = nullptr; // available physical memory
    QPushButton *OKButton = nullptr;

protected:
    void showEvent(QShowEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void fitSize();
    void Label3Click();
    void Label6Click();

    QString memInfoPath_ = QStringLiteral("/proc/meminfo");
    std::function<bool(const QUrl &)> openUrl_;
};

// The name the main window uses for it.
using FormAbout = AboutBox;

} // namespace zk
