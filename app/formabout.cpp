#include "app/formabout.h"

#include "core/version.h"

#include <QApplication>
#include <QDesktopServices>
#include <QFile>
#include <QFont>
#include <QFormLayout>
#include <QFrame>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QLinearGradient>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QPushButton>
#include <QVBoxLayout>

#include <limits>

namespace zk {

namespace {

constexpr quint64 kMaxKilobytes = std::numeric_limits<quint64>::max() / 1024;

// A "Key:   123 kB" line of /proc/meminfo; the value in bytes.
bool memLine(const QByteArray &line, const QByteArray &key, quint64 *bytes)
{
    if (!line.startsWith(key + ':'))
        return false;
    QByteArray value = line.mid(key.size() + 1).trimmed();
    quint64 unit = 1;
    if (value.endsWith(" kB")) {
        value.chop(3);
        unit = 1024;
    }
    bool ok = false;
    const quint64 n = value.trimmed().toULongLong(&ok);
    if (!ok)
        return false;
    *bytes = (unit == 1024 && n > kMaxKilobytes) ? std::numeric_limits<quint64>::max() : n * unit;
    return true;
}

quint64 saturatingAdd(quint64 a, quint64 b)
{
    return (a > std::numeric_limits<quint64>::max() - b) ? std::numeric_limits<quint64>::max()
                                                         : a + b;
}

QPixmap paintLogo(const QSize &size)
{
    QPixmap pix(size);
    pix.fill(Qt::transparent);
    QPainter p(&pix);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF r(1, 1, size.width() - 2, size.height() - 2);
    QLinearGradient g(r.topLeft(), r.bottomLeft());
    g.setColorAt(0, QColor(24, 74, 150));
    g.setColorAt(1, QColor(10, 36, 92));
    p.setBrush(g);
    p.setPen(QPen(QColor(8, 28, 70), 1.5));
    p.drawRoundedRect(r, 10, 10);

    // A lightning bolt on the left.
    QPainterPath bolt;
    const qreal h = r.height();
    const qreal x = r.left() + 12;
    bolt.moveTo(x + 18, r.top() + h * 0.12);
    bolt.lineTo(x + 2, r.top() + h * 0.56);
    bolt.lineTo(x + 14, r.top() + h * 0.56);
    bolt.lineTo(x + 6, r.top() + h * 0.90);
    bolt.lineTo(x + 28, r.top() + h * 0.42);
    bolt.lineTo(x + 16, r.top() + h * 0.42);
    bolt.closeSubpath();
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(255, 204, 0));
    p.drawPath(bolt);

    QFont f(QStringLiteral("Arial"));
    f.setBold(true);
    f.setPixelSize(17);
    p.setFont(f);
    p.setPen(Qt::white);
    const QRectF text(r.left() + 44, r.top(), r.width() - 48, r.height() * 0.62);
    p.drawText(text, Qt::AlignLeft | Qt::AlignBottom, QStringLiteral("КАЛВИМЕТ"));
    f.setBold(false);
    f.setPixelSize(10);
    p.setFont(f);
    p.setPen(QColor(200, 215, 240));
    const QRectF sub(r.left() + 44, r.top() + r.height() * 0.64, r.width() - 48, 16);
    p.drawText(sub, Qt::AlignLeft | Qt::AlignTop, QStringLiteral("приборы учета"));
    return pix;
}

QPixmap applicationIcon()
{
    const QIcon icon = QApplication::windowIcon();
    if (!icon.isNull())
        return icon.pixmap(32, 32);
    return paintLogo(QSize(165, 93)).copy(8, 8, 40, 77).scaled(32, 32, Qt::KeepAspectRatio,
                                                                Qt::SmoothTransformation);
}

QLabel *linkLabel(const QString &text, QWidget *parent, const QString &name)
{
    auto *label = new QLabel(text, parent);
    label->setObjectName(name);
    label->setCursor(Qt::PointingHandCursor);
    QPalette pal = label->palette();
    pal.setColor(QPalette::WindowText, Qt::blue);
    label->setPalette(pal);
    QFont f = label->font();
    f.setUnderline(true);
    label->setFont(f);
    return label;
}

} // namespace

MemInfo parseMemInfo(const QByteArray &text)
{
    MemInfo info;
    bool haveAvailable = false;
    quint64 freeBytes = 0;
    quint64 buffers = 0;
    quint64 cached = 0;
    for (const QByteArray &line : text.split('\n')) {
        quint64 v = 0;
        if (memLine(line, "MemTotal", &v)) {
            info.totalBytes = v;
            info.ok = true;
        } else if (memLine(line, "MemAvailable", &v)) {
            info.availableBytes = v;
            haveAvailable = true;
        } else if (memLine(line, "MemFree", &v)) {
            freeBytes = v;
        } else if (memLine(line, "Buffers", &v)) {
            buffers = v;
        } else if (memLine(line, "Cached", &v)) {
            cached = v;
        }
    }
    if (!haveAvailable)
        info.availableBytes = saturatingAdd(saturatingAdd(freeBytes, buffers), cached);
    return info;
}

MemInfo readMemInfo(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return parseMemInfo(file.readAll());
}

QString formatKilobytes(quint64 bytes, const QLocale &locale)
{
    const quint64 kb = bytes / 1024 + ((bytes % 1024) >= 512 ? 1 : 0);
    if (kb == 0)
        return {};
    QLocale l = locale;
    l.setNumberOptions(l.numberOptions() & ~QLocale::OmitGroupSeparator);
    return l.toString(kb);
}

MemoryFigures memoryFigures(const MemInfo &info, const QLocale &locale)
{
    auto figure = [&](quint64 bytes) {
        const QString kb = formatKilobytes(bytes, locale);
        return (kb.isEmpty() ? QStringLiteral("0") : kb) + QStringLiteral(" KB");
    };
    MemoryFigures out;
    out.total = QStringLiteral("Всего физической памяти: ") + figure(info.totalBytes);
    out.available = QStringLiteral("Доступно физической памяти: ") + figure(info.availableBytes);
    return out;
}

AboutBox::AboutBox(QWidget *parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("AboutBox"));
    setWindowTitle(QStringLiteral("О программе"));
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint
                   | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    setModal(true);
    QFont base(QStringLiteral("MS Sans Serif"));
    base.setStyleHint(QFont::SansSerif);
    base.setPixelSize(16);
    setFont(base);
    openUrl_ = [](const QUrl &url) { return QDesktopServices::openUrl(url); };

    // Title panel.
    Panel1 = new QFrame(this);
    Panel1->setObjectName(QStringLiteral("Panel1"));
    Panel1->setFrameShape(QFrame::StyledPanel);
    Panel1->setFrameShadow(QFrame::Raised);
    Panel1->setFixedHeight(119);
    Panel1->setMinimumWidth(375);

    ProductName = new QLabel(QStringLiteral("3-х тарифный 3-х фазный эл. счетчик"), Panel1);
    ProductName->setObjectName(QStringLiteral("ProductName"));
    ProductName->setAlignment(Qt::AlignCenter);
    QFont title(QStringLiteral("Arial"));
    title.setPixelSize(16);
    title.setBold(true);
    ProductName->setFont(title);

    Label11 = new QLabel(QStringLiteral("Программирование ЗЕЛТА-КН"), Panel1);
    Label11->setObjectName(QStringLiteral("Label11"));
    Label11->setAlignment(Qt::AlignCenter);
    QFont bold = base;
    bold.setBold(true);
    Label11->setFont(bold);

    Panel2 = new QFrame(Panel1);
    Panel2->setObjectName(QStringLiteral("Panel2"));
    Panel2->setFrameShape(QFrame::Panel);
    Panel2->setFrameShadow(QFrame::Sunken);
    Panel2->setFixedSize(38, 38);
    Image2 = new QLabel(Panel2);
    Image2->setObjectName(QStringLiteral("Image2"));
    Image2->setFixedSize(32, 32);
    Image2->setAlignment(Qt::AlignCenter);
    Image2->setPixmap(applicationIcon());
    auto *iconLayout = new QHBoxLayout(Panel2);
    iconLayout->setContentsMargins(3, 3, 3, 3);
    iconLayout->addWidget(Image2);

    Version = new QLabel(QStringLiteral("Версия %1.%2").arg(ZK_VERSION_MAJOR).arg(ZK_VERSION_MINOR), Panel1);
    Version->setObjectName(QStringLiteral("Version"));
    Version->setAlignment(Qt::AlignCenter);

    Copyright = new QLabel(QStringLiteral("© Калвимет. Все права защищены."), Panel1);
    Copyright->setObjectName(QStringLiteral("Copyright"));
    Copyright->setAlignment(Qt::AlignCenter);
    QFont small = base;
    small.setPixelSize(12);
    Copyright->setFont(small);

    auto *panelLayout = new QGridLayout(Panel1);
    panelLayout->setContentsMargins(6, 4, 6, 4);
    panelLayout->setVerticalSpacing(2);
    panelLayout->addWidget(ProductName, 0, 0, 1, 3);
    panelLayout->addWidget(Panel2, 1, 0, 2, 1, Qt::AlignLeft | Qt::AlignVCenter);
    panelLayout->addWidget(Label11, 1, 1);
    panelLayout->addWidget(Version, 2, 1);
    panelLayout->addWidget(Copyright, 3, 0, 1, 3);
    panelLayout->setColumnStretch(1, 1);
    // Keep the centred texts centred on the panel, not beside the icon: an empty
    // column as wide as the icon balances it on the right.
    panelLayout->setColumnMinimumWidth(0, 38);
    panelLayout->setColumnMinimumWidth(2, 38);

    // Contacts.
    GroupBox1 = new QGroupBox(QStringLiteral("Наши координаты"), this);
    GroupBox1->setObjectName(QStringLiteral("GroupBox1"));
    QFont contacts = base;
    contacts.setPixelSize(13);
    GroupBox1->setFont(contacts);
    Label3 = linkLabel(QStringLiteral("www.kalvimet.example"), GroupBox1, QStringLiteral("Label3"));
    Label6 = linkLabel(QStringLiteral("info@kalvimet.example"), GroupBox1,
                       QStringLiteral("Label6"));
    Label8 = new QLabel(QStringLiteral("+7 (000) 000-00-01"), GroupBox1);
    Label8->setObjectName(QStringLiteral("Label8"));
    Label9 = new QLabel(QStringLiteral("+7 (000) 000-00-02"), GroupBox1);
    Label9->setObjectName(QStringLiteral("Label9"));
    Label3->installEventFilter(this);
    Label6->installEventFilter(this);
    auto *contactLayout = new QFormLayout(GroupBox1);
    contactLayout->setContentsMargins(6, 4, 6, 4);
    contactLayout->setVerticalSpacing(2);
    contactLayout->addRow(new QLabel(QStringLiteral("Web-страница:"), GroupBox1), Label3);
    contactLayout->addRow(new QLabel(QStringLiteral("E-mail:"), GroupBox1), Label6);
    contactLayout->addRow(new QLabel(QStringLiteral("Телефоны:"), GroupBox1), Label8);
    contactLayout->addRow(QString(), Label9);

    Image1 = new QLabel(this);
    Image1->setObjectName(QStringLiteral("Image1"));
    Image1->setFixedSize(165, 93);
    Image1->setPixmap(paintLogo(QSize(165, 93)));

    // Memory figures and the button.
    Label1 = new QLabel(QStringLiteral("Всего физической памяти"), this);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label2 = new QLabel(QStringLiteral("Доступно физической памяти"), this);
    Label2->setObjectName(QStringLiteral("Label2"));
    QFont memory = base;
    memory.setPixelSize(12);
    Label1->setFont(memory);
    Label2->setFont(memory);

    OKButton = new QPushButton(QStringLiteral("OK"), this);
    OKButton->setObjectName(QStringLiteral("OKButton"));
    OKButton->setDefault(true);
    connect(OKButton, &QPushButton::clicked, this, &QDialog::accept);

    auto *middle = new QHBoxLayout;
    middle->addWidget(GroupBox1, 1);
    middle->addWidget(Image1, 0, Qt::AlignTop);

    auto *memoryLayout = new QVBoxLayout;
    memoryLayout->setSpacing(0);
    memoryLayout->addWidget(Label1);
    memoryLayout->addWidget(Label2);
    auto *bottom = new QHBoxLayout;
    bottom->addLayout(memoryLayout, 1);
    bottom->addWidget(OKButton, 0, Qt::AlignBottom);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(8, 8, 8, 8);
    layout->setSpacing(6);
    layout->addWidget(Panel1);
    layout->addLayout(middle);
    layout->addLayout(bottom);

    fitSize();
}

void AboutBox::fitSize()
{
    // A fixed dialog border: at least 394 x 281, more when the texts need it.
    setFixedSize(sizeHint().expandedTo(QSize(394, 281)));
}

void AboutBox::setUrlOpener(std::function<bool(const QUrl &)> opener)
{
    openUrl_ = std::move(opener);
}

void AboutBox::refreshMemory()
{
    const MemoryFigures figures = memoryFigures(readMemInfo(memInfoPath_));
    Label1->setText(figures.total);
    Label2->setText(figures.available);
}

QUrl AboutBox::webUrl() const
{
    // The label holds an address as typed in a browser, usually without a scheme.
    return QUrl::fromUserInput(Label3->text());
}

QUrl AboutBox::mailUrl() const
{
    return QUrl(QStringLiteral("mailto:") + Label6->text());
}

void AboutBox::showEvent(QShowEvent *event)
{
    refreshMemory();
    fitSize();
    QDialog::showEvent(event);
    if (QWidget *owner = parentWidget()) {
        QRect frame = frameGeometry();
        frame.moveCenter(owner->window()->frameGeometry().center());
        move(frame.topLeft());
    }
}

bool AboutBox::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::MouseButtonRelease) {
        const auto *mouse = static_cast<QMouseEvent *>(event);
        if (mouse->button() == Qt::LeftButton) {
            if (watched == Label3) {
                Label3Click();
                return true;
            }
            if (watched == Label6) {
                Label6Click();
                return true;
            }
        }
    }
    return QDialog::eventFilter(watched, event);
}

void AboutBox::Label3Click()
{
    if (openUrl_)
        openUrl_(webUrl());
}

void AboutBox::Label6Click()
{
    if (openUrl_)
        openUrl_(mailUrl());
}

} // namespace zk
