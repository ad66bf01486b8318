#include "link/linkbar.h"

#include <QAction>
#include <QActionGroup>
#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QSpinBox>

namespace zk {

const QStringList LinkBar::BaudTexts = {QStringLiteral("1200"), QStringLiteral("2400"),
                                        QStringLiteral("4800"), QStringLiteral("9600")};

std::optional<int> portNumberOf(const QString &entry)
{
    bool ok = false;
    const int n = entry.mid(3).toInt(&ok);
    if (!ok)
        return std::nullopt;
    return n;
}

QString portNumberErrorText(const QString &entry)
{
    return QStringLiteral("'%1' не является целым числом").arg(entry.mid(3));
}

LinkBar::LinkBar(QWidget *parent) : QFrame(parent), m_portGroup(new QActionGroup(this))
{
    setObjectName(QStringLiteral("Panel1"));
    setFrameShape(QFrame::NoFrame);
    setAutoFillBackground(true);
    m_portGroup->setExclusive(true);

    ComboPort = new QComboBox;
    ComboPort->setObjectName(QStringLiteral("ComboPort"));
    ComboPort->setEditable(false);
    ComboPort->setMinimumContentsLength(6);
    ComboPort->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);

    ComboBaud = new QComboBox;
    ComboBaud->setObjectName(QStringLiteral("ComboBaud"));
    ComboBaud->setEditable(false);
    ComboBaud->addItems(BaudTexts);
    ComboBaud->setCurrentIndex(StartBaudIndex);

    SpinAddr = new QSpinBox;
    SpinAddr->setObjectName(QStringLiteral("SpinAddr"));
    SpinAddr->setRange(0, 255);
    SpinAddr->setValue(0);

    SpinTimer = new QSpinBox;
    SpinTimer->setObjectName(QStringLiteral("SpinTimer"));
    SpinTimer->setRange(200, 10000);
    SpinTimer->setSingleStep(100);
    SpinTimer->setValue(1000);
    // Changed by its arrows only.
    if (auto *edit = SpinTimer->findChild<QLineEdit *>())
        edit->setReadOnly(true);

    auto *row = new QHBoxLayout(this);
    row->setContentsMargins(6, 2, 6, 2);
    row->setSpacing(4);
    row->addWidget(new QLabel(QStringLiteral("Порт:")));
    row->addWidget(ComboPort);
    row->addSpacing(10);
    row->addWidget(new QLabel(QStringLiteral("Скорость :")));
    row->addWidget(ComboBaud);
    row->addSpacing(10);
    row->addWidget(new QLabel(QStringLiteral("Адрес :")));
    row->addWidget(SpinAddr);
    row->addSpacing(10);
    row->addWidget(new QLabel(QStringLiteral("Таймаут :")));
    row->addWidget(SpinTimer);
    row->addWidget(new QLabel(QStringLiteral("мсек")));
    row->addStretch(1);

    connect(ComboPort, &QComboBox::activated, this, &LinkBar::comboPortActivated);
    connect(ComboBaud, &QComboBox::activated, this, &LinkBar::comboBaudActivated);
    connect(m_portGroup, &QActionGroup::triggered, this, &LinkBar::portItemTriggered);
}

void LinkBar::attachMenus(QMenu *portMenu, QMenu *baudMenu)
{
    m_portMenu = portMenu;
    m_baudMenu = baudMenu;
    for (QAction *item : baudMenu->actions())
        connect(item, &QAction::triggered, this, [this, item] { baudItemTriggered(item); });
    selectBaud(ComboBaud->currentIndex());
}

QAction *LinkBar::addPortItem(const QString &caption, int portNum)
{
    auto *item = new QAction(caption, this);
    item->setCheckable(true);
    item->setProperty("tag", portNum);
    m_portGroup->addAction(item);
    if (m_portMenu)
        m_portMenu->addAction(item);
    return item;
}

void LinkBar::buildPortList(const QStringList &systemNames, int savedPort, const PortProbe &probe)
{
    for (const QString &name : systemNames) {
        ComboPort->addItem(name);
        const auto n = portNumberOf(name);
        if (!n)
            continue; // listed, but no menu item
        QAction *item = addPortItem(name, *n);
        if (*n == savedPort) {
            item->setChecked(true);
            ComboPort->setCurrentIndex(ComboPort->count() - 1);
        }
    }
    if (systemNames.isEmpty() && probe) {
        for (int n = 1; n <= 8; ++n) {
            if (!probe(n))
                continue;
            const QString caption = QStringLiteral("Com") + QString::number(n);
            QAction *item = addPortItem(caption, n);
            ComboPort->addItem(caption);
            if (n == savedPort) {
                item->setChecked(true);
                ComboPort->setCurrentIndex(ComboPort->count() - 1);
            }
        }
    }
    // A combo box selects its first entry by itself; only the saved port is selected.
    bool savedFound = false;
    for (int i = 0; i < ComboPort->count(); ++i)
        savedFound = savedFound || (portNumberOf(ComboPort->itemText(i)) == savedPort);
    if (!savedFound)
        ComboPort->setCurrentIndex(-1);
}

int LinkBar::selectedPortNumber() const
{
    if (ComboPort->currentIndex() < 0)
        return 1;
    return portNumberOf(ComboPort->currentText()).value_or(1);
}

QAction *LinkBar::checkedPortItem() const
{
    return m_portGroup->checkedAction();
}

void LinkBar::markPortItem(int portNum)
{
    for (QAction *item : m_portGroup->actions()) {
        if (item->property("tag").toInt() == portNum) {
            item->setChecked(true);
            return;
        }
    }
}

void LinkBar::comboPortActivated(int index)
{
    // A text without a number goes to the default error report; the port stays.
    // It is handed on as a signal, not thrown: an exception must not unwind
    // through the combo box that emitted this.
    const QString text = ComboPort->itemText(index);
    const auto n = portNumberOf(text);
    if (!n) {
        emit portTextRejected(portNumberErrorText(text));
        return;
    }
    emit portNumberChosen(*n);
    markPortItem(*n);
}

void LinkBar::portItemTriggered(QAction *item)
{
    item->setChecked(true);
    const int n = item->property("tag").toInt();
    emit portNumberChosen(n);
    const QString wanted = QStringLiteral("Com") + QString::number(n);
    int found = -1;
    for (int i = 0; i < ComboPort->count() && found < 0; ++i)
        if (ComboPort->itemText(i).compare(wanted, Qt::CaseInsensitive) == 0)
            found = i;
    ComboPort->setCurrentIndex(found);
}

void LinkBar::selectBaud(int index)
{
    ComboBaud->setCurrentIndex(index);
    if (!m_baudMenu)
        return;
    for (QAction *item : m_baudMenu->actions())
        if (item->property("tag").toInt() == index && item->isCheckable())
            item->setChecked(true);
}

void LinkBar::comboBaudActivated(int index)
{
    selectBaud(index);
    emit baudIndexChosen(index);
}

void LinkBar::baudItemTriggered(QAction *item)
{
    const int index = item->property("tag").toInt();
    selectBaud(index);
    emit baudIndexChosen(index);
}

void LinkBar::setPortControlsEnabled(bool enabled)
{
    ComboPort->setEnabled(enabled);
    ComboBaud->setEnabled(enabled);
    if (m_portMenu)
        m_portMenu->menuAction()->setEnabled(enabled);
    if (m_baudMenu)
        m_baudMenu->menuAction()->setEnabled(enabled);
}

void LinkBar::setTint(const QColor &colour)
{
    QPalette p = palette();
    p.setColor(QPalette::Window, colour);
    setPalette(p);
}

} // namespace zk
