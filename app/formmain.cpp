#include "app/formmain.h"

#include "app/icons/icons.h"
#include "app/pageterminal.h"
#include "link/linkbar.h"
#include "link/portmap.h"
#include "link/serialchannel.h"
#include "meter/clockcorrection.h"
#include "meter/pagereadings.h"
#include "meter/pagesettings.h"
#include "records/formspoilage.h"
#include "records/pagedatabase.h"
#include "records/register.h"
#include "schedule/pagejournal.h"
#include "schedule/pageschedule.h"
#include "schedule/journalexport.h"
#include "ui/dialogs.h"
#include "ui/editmark.h"
#include "ui/messagebox.h"
#include "ui/widgets.h"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QComboBox>
#include <QDateEdit>
#include <QDir>
#include <QDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPainter>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QSpinBox>
#include <QStatusBar>
#include <QTabWidget>
#include <QThread>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QVBoxLayout>

namespace zk {

const QString FormMain::Title = QStringLiteral("Установка ЗЕЛТА-КН");

namespace {

QAction *makeAction(QObject *parent, const char *name, const QString &caption, const QString &hint,
                    const QKeySequence &shortcut, int image, bool enabled)
{
    auto *a = new QAction(caption, parent);
    a->setObjectName(QLatin1String(name));
    if (!hint.isEmpty())
        a->setToolTip(hint);
    else if (caption.isEmpty())
        a->setToolTip(QString());
    if (!shortcut.isEmpty())
        a->setShortcut(shortcut);
    if (image >= 0)
        a->setIcon(actionIcon(image));
    a->setEnabled(enabled);
    return a;
}

constexpr SerialChannel::Baudrate BaudForIndex[4] = {SerialChannel::br1200, SerialChannel::br2400,
                                                     SerialChannel::br4800, SerialChannel::br9600};

} // namespace

// ---- Shape1 ------------------------------------------------------------------

LinkIndicator::LinkIndicator(QWidget *parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("Shape1"));
    setFixedSize(19, 22);
}

void LinkIndicator::setColour(const QColor &colour)
{
    m_colour = colour;
    update();
}

void LinkIndicator::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(Qt::black, 1));
    p.setBrush(m_colour);
    const int d = qMin(width(), height()) - 2;
    p.drawEllipse(QRectF((width() - d) / 2.0, (height() - d) / 2.0, d, d));
}

// ---- construction --------------------------------------------------------------

FormMain::FormMain(QWidget *parent)
    : QMainWindow(parent, Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint
                              | Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint)
{
    setObjectName(QStringLiteral("FormMain"));
    setWindowTitle(Title);
    setWindowIcon(programIcon());
    // A small dialog font, as the window was laid out for.
    QFont small = font();
    small.setPointSize(8);
    setFont(small);

    // The serial channel and the engine exist before anything can fail, so the
    // window always has them, whatever start-up manages to do.
    Comm1 = new SerialChannel(this);
    Comm1->setObjectName(QStringLiteral("Comm1"));
    m_engine = new ExchangeEngine(Comm1, this, this);

    buildActions();
    buildMenus();
    buildToolBar();
    buildPages();
    buildStatusBar();
    wire();
    registerHandlers();
    connect(qApp, &QGuiApplication::focusWindowChanged, this, &FormMain::focusWindowChanged);

    FormCreate();
    fitWindow();
}

FormMain::~FormMain()
{
    // The engine refers to this window as its host: stop it first.
    m_engine->stopAfterDisconnect();
    delete m_engine;
    m_engine = nullptr;
}

void FormMain::buildActions()
{
    ActionConnect = makeAction(this, "ActionConnect", QStringLiteral("&Установить"),
                               QStringLiteral("Установить связь"), {}, 0, true);
    ActionDisconnect = makeAction(this, "ActionDisconnect", QStringLiteral("&Разорвать"),
                                  QStringLiteral("Разорвать связь"), {}, 1, false);
    ActionSetting = makeAction(this, "ActionSetting", QStringLiteral("&Записать"),
                               QStringLiteral("Записать установки"), QKeySequence(Qt::Key_F12), 2, false);
    ActionReset = makeAction(this, "ActionReset", QStringLiteral("&Сброс изменений"),
                             QStringLiteral("Сброс изменений"), {}, 3, true);
    ActionOpen = makeAction(this, "ActionOpen", QStringLiteral("&Открыть"),
                            QStringLiteral("открыть таблицу"), {}, 4, true);
    ActionClose = makeAction(this, "ActionClose", QStringLiteral("&Закрыть"),
                             QStringLiteral("Закрыть таблицу"), {}, 5, false);
    ActionSpoilage = makeAction(this, "ActionSpoilage", QStringLiteral("&Брак"), QStringLiteral("Брак"),
                                QKeySequence(Qt::Key_F4), 6, true);
    ActionFocusCorrect = makeAction(this, "ActionFocusCorrect", QString(), QString(),
                                    QKeySequence(Qt::Key_F8), -1, true);
    ActionCountCorrect = makeAction(this, "ActionCountCorrect", QString(),
                                    QStringLiteral("Пересчет коррекции"), QKeySequence(Qt::Key_F9), 7, false);
    ActionPlusDDM = makeAction(this, "ActionPlusDDM", QString(), QString(),
                               QKeySequence(Qt::CTRL | Qt::Key_A), -1, true);
    ActionMinusDDM = makeAction(this, "ActionMinusDDM", QString(), QString(),
                                QKeySequence(Qt::CTRL | Qt::Key_D), -1, true);
    ActionFindAddress = makeAction(this, "ActionFindAddress", QStringLiteral("Поиск &адреса"),
                                   QStringLiteral("Поиск адреса"), QKeySequence(Qt::Key_F3), 8, false);
    ActionFixDb = makeAction(this, "ActionFixDb", QStringLiteral("Зафиксировать в Б&Д"),
                             QStringLiteral("Зафиксировать в БД"), {}, 9, false);

    // The actions belong to the window, so their shortcuts work wherever their
    // menu items and buttons are shown or hidden.
    for (QAction *a : {ActionConnect, ActionDisconnect, ActionSetting, ActionReset, ActionOpen,
                       ActionClose, ActionSpoilage, ActionFocusCorrect, ActionCountCorrect,
                       ActionPlusDDM, ActionMinusDDM, ActionFindAddress, ActionFixDb}) {
        a->setShortcutContext(Qt::WindowShortcut);
        addAction(a);
    }

    connect(ActionConnect, &QAction::triggered, this, &FormMain::ActionConnectExecute);
    connect(ActionDisconnect, &QAction::triggered, this, &FormMain::ActionDisconnectExecute);
    connect(ActionSetting, &QAction::triggered, this, &FormMain::ActionSettingExecute);
    connect(ActionReset, &QAction::triggered, this, &FormMain::ActionResetExecute);
    connect(ActionOpen, &QAction::triggered, this, &FormMain::ActionOpenExecute);
    connect(ActionClose, &QAction::triggered, this, &FormMain::ActionCloseExecute);
    connect(ActionSpoilage, &QAction::triggered, this, &FormMain::ActionSpoilageExecute);
    connect(ActionFocusCorrect, &QAction::triggered, this, &FormMain::ActionFocusCorrectExecute);
    connect(ActionCountCorrect, &QAction::triggered, this, &FormMain::ActionCountCorrectExecute);
    connect(ActionPlusDDM, &QAction::triggered, this, &FormMain::ActionPlusDDMExecute);
    connect(ActionMinusDDM, &QAction::triggered, this, &FormMain::ActionMinusDDMExecute);
    connect(ActionFindAddress, &QAction::triggered, this, &FormMain::ActionFindAddressExecute);
    connect(ActionFixDb, &QAction::triggered, this, &FormMain::ActionFixDbExecute);
}

// A menu item bound to an action: its caption, shortcut text and enabled state
// follow the action, its visibility is its own.
QAction *FormMain::menuItem(QMenu *menu, QAction *action, const char *name)
{
    auto *item = new QAction(this);
    item->setObjectName(QLatin1String(name));
    auto sync = [item, action] {
        QString text = action->text();
        if (!action->shortcut().isEmpty())
            text += QLatin1Char('\t') + action->shortcut().toString(QKeySequence::NativeText);
        item->setText(text);
        item->setIcon(action->icon());
        item->setEnabled(action->isEnabled());
    };
    sync();
    connect(action, &QAction::changed, item, sync);
    connect(item, &QAction::triggered, action, [action] {
        if (action->isEnabled())
            action->trigger();
    });
    menu->addAction(item);
    return item;
}

void FormMain::buildMenus()
{
    QMenuBar *bar = menuBar();
    bar->setObjectName(QStringLiteral("MainMenu1"));

    N1 = bar->addMenu(QStringLiteral("&Связь"));
    N1->setObjectName(QStringLiteral("N1"));
    NPort = N1->addMenu(QStringLiteral("&Порт"));
    NPort->setObjectName(QStringLiteral("NPort"));
    NBaud = N1->addMenu(QStringLiteral("&Скорость"));
    NBaud->setObjectName(QStringLiteral("NBaud"));
    auto *baudGroup = new QActionGroup(this);
    QAction **baudItems[4] = {&N12001, &N24001, &N48001, &N96001};
    const char *baudNames[4] = {"N12001", "N24001", "N48001", "N96001"};
    for (int i = 0; i < 4; ++i) {
        QAction *item = NBaud->addAction(LinkBar::BaudTexts.at(i));
        item->setObjectName(QLatin1String(baudNames[i]));
        item->setCheckable(true);
        item->setProperty("tag", i);
        baudGroup->addAction(item);
        *baudItems[i] = item;
    }
    N1->addSeparator();
    N3 = menuItem(N1, ActionConnect, "N3");
    N4 = menuItem(N1, ActionDisconnect, "N4");
    N1->addSeparator();
    N19 = menuItem(N1, ActionFindAddress, "N19");
    N1->addSeparator();
    NExit = N1->addAction(QStringLiteral("В&ыход"));
    NExit->setObjectName(QStringLiteral("NExit"));
    connect(NExit, &QAction::triggered, this, &QWidget::close);

    N6 = bar->addMenu(QStringLiteral("&Установки"));
    N6->setObjectName(QStringLiteral("N6"));
    N7 = menuItem(N6, ActionSetting, "N7");
    NFixDb = menuItem(N6, ActionFixDb, "NFixDb");
    N16 = menuItem(N6, ActionSpoilage, "N16");
    N10 = menuItem(N6, ActionReset, "N10");

    N11 = bar->addMenu(QStringLiteral("&База данных"));
    N11->setObjectName(QStringLiteral("N11"));
    N12 = menuItem(N11, ActionOpen, "N12");
    N13 = menuItem(N11, ActionClose, "N13");
    N17 = N11->addAction(QStringLiteral("&Расшифровка статуса"));
    N17->setObjectName(QStringLiteral("N17"));
    connect(N17, &QAction::triggered, this, &FormMain::N17Click);

    N14 = bar->addMenu(QStringLiteral("&?"));
    N14->setObjectName(QStringLiteral("N14"));
    N20 = N14->addAction(QStringLiteral("&Справка"));
    N20->setObjectName(QStringLiteral("N20"));
    connect(N20, &QAction::triggered, this, &FormMain::N20Click);
    N14->addSeparator();
    N15 = N14->addAction(QStringLiteral("&О программе"));
    N15->setObjectName(QStringLiteral("N15"));
    connect(N15, &QAction::triggered, this, &FormMain::N15Click);
}

QToolButton *FormMain::toolButton(QAction *action, const char *name)
{
    auto *button = new QToolButton;
    button->setObjectName(QLatin1String(name));
    button->setDefaultAction(action);
    button->setAutoRaise(true);
    button->setToolButtonStyle(Qt::ToolButtonIconOnly);
    button->setIconSize(QSize(24, 24));
    return button;
}

void FormMain::buildToolBar()
{
    ToolBar1 = new QToolBar;
    ToolBar1->setObjectName(QStringLiteral("ToolBar1"));
    ToolBar1->setMovable(false);
    ToolBar1->setFloatable(false);
    ToolBar1->setIconSize(QSize(24, 24));
    ToolBar1->toggleViewAction()->setEnabled(false);
    setContextMenuPolicy(Qt::NoContextMenu);
    addToolBar(Qt::TopToolBarArea, ToolBar1);

    ToolBar1->addWidget(toolButton(ActionConnect, "ToolButton1"));
    ToolBar1->addWidget(toolButton(ActionDisconnect, "ToolButton3"));
    ToolBar1->addWidget(toolButton(ActionFindAddress, "ToolButton2"));
    ToolBar1->addSeparator()->setObjectName(QStringLiteral("ToolButton4"));
    ToolBar1->addWidget(toolButton(ActionSetting, "ToolButton5"));
    m_fixDbButton = ToolBar1->addWidget(toolButton(ActionFixDb, "ToolButtonFixDb"));
    m_spoilageButton = ToolBar1->addWidget(toolButton(ActionSpoilage, "ToolButton11"));
    ToolBar1->addWidget(toolButton(ActionReset, "ToolButton7"));
    ToolBar1->addSeparator()->setObjectName(QStringLiteral("ToolButton8"));
    QToolButton *open = toolButton(ActionOpen, "ToolButton9");
    // Its own hint, kept when the action changes.
    const QString openHint = QStringLiteral("Открыть таблицу");
    open->setToolTip(openHint);
    connect(ActionOpen, &QAction::changed, open, [open, openHint] { open->setToolTip(openHint); });
    ToolBar1->addWidget(open);
    ToolBar1->addWidget(toolButton(ActionClose, "ToolButton10"));
    ToolBar1->addSeparator()->setObjectName(QStringLiteral("ToolButton6"));
    Shape1 = new LinkIndicator;
    m_indicatorHolder = ToolBar1->addWidget(Shape1);
    m_indicatorHolder->setVisible(false);
}

void FormMain::buildPages()
{
    auto *central = new QWidget;
    auto *column = new QVBoxLayout(central);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);

    Panel1 = new LinkBar;
    Panel1->attachMenus(NPort, NBaud);
    column->addWidget(Panel1);

    PageControl1 = new PageTabs;
    PageControl1->setObjectName(QStringLiteral("PageControl1"));
    PageControl1->setUsesScrollButtons(false);
    TabSheet1 = new PageSettings;
    TabSchedule = new PageSchedule;
    TabSheet3 = new PageReadings;
    TabSheet2 = new PageJournal;
    TabSheet4 = new PageTerminal;
    TabSheet5 = new PageDatabase;
    PageControl1->addTab(TabSheet1, QStringLiteral("Установка"));
    PageControl1->addTab(TabSchedule, QStringLiteral("Тарифное расписание"));
    PageControl1->addTab(TabSheet3, QStringLiteral("Показания"));
    PageControl1->addTab(TabSheet2, QStringLiteral("Журнал"));
    PageControl1->addTab(TabSheet4, QStringLiteral("Протокол"));
    PageControl1->addTab(TabSheet5, QStringLiteral("База данных"));
    column->addWidget(PageControl1, 1);

    setCentralWidget(central);

    // BitBtn2 is the button of ActionCountCorrect.
    TabSheet1->BitBtn2->setDefaultAction(ActionCountCorrect);
    connect(TabSheet1->BitBtn1, &QToolButton::clicked, this, &FormMain::BitBtn1Click);
    connect(TabSheet3->BitBtn5, &QPushButton::clicked, this, &FormMain::BitBtn5Click);
    connect(TabSheet2->BtnJournal, &QPushButton::clicked, this, &FormMain::BtnJournalClick);
    // A changed filter takes effect when the view is opened again.
    connect(TabSheet5, &PageDatabase::filterChanged, this, [this] {
        if (ActionClose->isEnabled())
            ActionCloseExecute();
    });
    connect(TabSheet2->BtnDiary, &QPushButton::clicked, this, &FormMain::BtnDiaryClick);
    connect(TabSheet1->LabeledPass1, &QLineEdit::textChanged, this, &FormMain::LabeledPass1Change);
    connect(TabSheet1->EditCorrect, &QLineEdit::textChanged, this, [this](const QString &text) {
        ActionCountCorrect->setEnabled(correctionMeasurementValid(text));
    });
    connect(TabSheet1->LabeledPass2, &QLineEdit::textChanged, this, &FormMain::LabeledPass1Change);
}

void FormMain::buildStatusBar()
{
    StatusBar1 = new QStatusBar;
    StatusBar1->setObjectName(QStringLiteral("StatusBar1"));
    StatusBar1->setSizeGripEnabled(false);
    StatusBar1->setAutoFillBackground(true);
    QPalette p = StatusBar1->palette();
    p.setColor(QPalette::Window, QColor(192, 220, 192)); // money green
    StatusBar1->setPalette(p);
    const int widths[3] = {250, 320, 50};
    for (int i = 0; i < 3; ++i) {
        auto *panel = new QLabel;
        panel->setObjectName(QStringLiteral("StatusPanel%1").arg(i));
        panel->setFrameShape(QFrame::Panel);
        panel->setFrameShadow(QFrame::Sunken);
        panel->setContentsMargins(3, 0, 3, 0);
        // Painted with the bar's colour by the panel itself: a new text repaints the
        // panel alone, not the status bar beneath it.
        panel->setAutoFillBackground(true);
        m_panels[i] = panel;
    }
    m_panels[2]->setText(QStringLiteral("ЗЕЛТА-КН"));
    // Fixed in both directions: a new text (the exchange count changes with every
    // exchange) then repaints its panel alone instead of laying out the whole window.
    const int height = m_panels[2]->sizeHint().height();
    for (int i = 0; i < 3; ++i) {
        const int need = m_panels[i]->sizeHint().width();
        m_panels[i]->setFixedSize(qMax(widths[i], need), height);
        StatusBar1->addWidget(m_panels[i], i == 2 ? 1 : 0);
    }
    setStatusBar(StatusBar1);
}

void FormMain::wire()
{
    connect(Comm1, &SerialChannel::rxChar, m_engine, &ExchangeEngine::onRxChar);
    connect(Comm1, &SerialChannel::txEmpty, m_engine, &ExchangeEngine::onTxEmpty);
    connect(Comm1, &SerialChannel::breakReceived, m_engine, &ExchangeEngine::onBreak);

    connect(Panel1->SpinTimer, &QSpinBox::valueChanged, m_engine, &ExchangeEngine::setReplyTimeout);
    markOnChange(Panel1->SpinAddr);
    connect(Panel1, &LinkBar::portNumberChosen, this, [this](int n) { Comm1->setPortNum(n); });
    connect(Panel1, &LinkBar::baudIndexChosen, this, &FormMain::setBaudIndex);
    connect(Panel1, &LinkBar::portTextRejected, this, [](const QString &text) { reportError(text); });

    // Timer3 fires just after each whole second of the PC clock, so the pickers show a
    // new second at once and the program wakes once a second for them.
    Timer3 = new QTimer(this);
    Timer3->setObjectName(QStringLiteral("Timer3"));
    Timer3->setSingleShot(true);
    Timer3->setTimerType(Qt::PreciseTimer);
    connect(Timer3, &QTimer::timeout, this, &FormMain::Timer3Timer);
    Timer3->start(nextSecondMs(QTime::currentTime()));
}

int FormMain::nextSecondMs(const QTime &now)
{
    return 1000 - now.msec() + 2;
}

void FormMain::registerHandlers()
{
    // Every polled reply: decoded by the meter's rules, shown by its page.
    ExchangeEngine *e = m_engine;
    PageSettings *page = TabSheet1;
    e->setHandler(fn::ReadSerial, layout::Serial, [this, page](const QByteArray &f) {
        if (const auto n = decodeSerial(f); n && page->showSerial(*n) && sqlMode())
            lookupLastSettingTime();
    });
    e->setHandler(fn::ReadClock, layout::Clock, [this](const QByteArray &f) {
        if (const auto c = decodeClock(f))
            clockReply(*c);
    });
    e->setHandler(fn::ReadCorrection, layout::Correction, [page](const QByteArray &f) {
        if (const auto v = decodeCorrection(f))
            page->showCorrection(*v);
    });
    e->setHandler(fn::ReadDdm, layout::Ddm, [page](const QByteArray &f) {
        if (const auto v = decodeDdm(f))
            page->showDdm(*v);
    });
    e->setHandler(fn::ReadStatus, layout::Status, [page](const QByteArray &f) {
        if (const auto v = decodeStatus(f))
            page->showStatus(*v);
    });
    e->setHandler(fn::ReadIndication, layout::Indication, [page](const QByteArray &f) {
        if (const auto v = decodeIndication(f))
            page->showIndication(*v);
    });
    e->setHandler(fn::ReadReadings, layout::Readings, [this](const QByteArray &f) {
        if (const auto v = decodeReadings(f))
            TabSheet3->showReadings(*v);
    });
    e->setHandler(fn::ReadTurnOn, layout::TurnOn, [page](const QByteArray &f) {
        if (const auto v = decodeTurnOn(f))
            page->showTurnOn(*v);
    });
    e->setHandler(fn::ReadBilling, layout::Billing, [page](const QByteArray &f) {
        if (const auto v = decodeBilling(f))
            page->showBilling(*v);
    });
    e->setHandler(fn::ReadDdmStamps, layout::DdmStamps, [page](const QByteArray &f) {
        if (const auto v = decodeDdmStamps(f))
            page->showDdmStamps(*v);
    });
    // The password reply: a new password written becomes the access password.
    e->setHandler(fn::Password, 0, [this, page](const QByteArray &) {
        page->passwordReplied();
        m_engine->setDeselect(false);
    });
    // The journals: replies to the page "Журнал", its read buttons to the queue.
    e->setHandler(fn::ReadAnnual, 1, [this](const QByteArray &f) { annualReply(f); });
    e->setHandler(fn::ReadConsumption, 1, [this](const QByteArray &f) { consumptionReply(f); });
    connect(TabSheet2, &PageJournal::queueRequests, this, &FormMain::queueRequests);
    // The tariff schedule: zones, day types, holidays and transfers onto its page.
    e->setHandler(fn::ReadZones, 0, [this](const QByteArray &f) { zoneReply(f); });
    e->setHandler(fn::ReadDayTypes, 0, [this](const QByteArray &f) { TabSchedule->showDayTypes(decodeDayTypes(f)); });
    e->setHandler(fn::ReadHoliday, 0, [this](const QByteArray &f) {
        if (const auto h = decodeHoliday(f))
            TabSchedule->appendHoliday(*h);
    });
    e->setHandler(fn::ReadTransfer, 0, [this](const QByteArray &f) {
        if (const auto t = decodeTransfer(f))
            TabSchedule->appendTransfer(*t);
    });
    connect(TabSchedule->BtnReadSchedule, &QPushButton::clicked, this, &FormMain::BtnReadScheduleClick);
    connect(TabSchedule->BtnWriteSchedule, &QPushButton::clicked, this, &FormMain::BtnWriteScheduleClick);
}

void FormMain::clockReply(const MeterClock &clock)
{
    TabSheet1->showClock(clock);
    if (!clock.time().isValid())
        m_engine->log(QStringLiteral("Получено ошибочное время"));
    if (clock.date().isValid()) {
        if (sqlMode())
            showDrift(clock);
    } else {
        m_engine->log(QStringLiteral("Получена ошибочная дата"));
    }
    if (clock.weekdayMismatch())
        m_engine->log(QStringLiteral("Предупреждение: Получен ошибочный день недели"));
}

void FormMain::fitWindow()
{
    // Client area 633 x 496 below the menu bar, larger when the fonts need it;
    // the border does not size.
    // Font changes reach the pages' layouts through posted layout requests. The
    // layouts still hold the sizes they cached before the mode effects showed or
    // hid controls (SQL mode adds rows to the page "Установка"): drop them, or the
    // window comes out too small and squeezes those rows.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
    const auto layouts = findChildren<QLayout *>();
    for (QLayout *l : layouts)
        l->invalidate();
    centralWidget()->layout()->activate();
    const QSize hint = minimumSizeHint();
    const int menuHeight = menuBar()->sizeHint().height();
    const QSize size(qMax(633, hint.width()), qMax(496 + menuHeight, hint.height()));
    setFixedSize(size);
    if (QScreen *screen = QGuiApplication::primaryScreen()) {
        const QRect area = screen->availableGeometry();
        move(area.center() - QPoint(size.width() / 2, size.height() / 2));
    }
}

// ---- start-up and shut-down ------------------------------------------------------

void FormMain::FormCreate()
{
    try {
        // 1
        m_meterTypeId = MeterTypeId;
        // 2
        TabSheet3->setFixedCaptions();
        TabSheet2->setFixedCaptions();
        TabSchedule->setFixedCaptions();
        TabSheet1->LabelA->clear();
        TabSheet1->LabelB->clear();
        TabSheet1->LabelC->clear();
        // 3, 4
        m_modes = Modes{};
        // 5: the preferences key (created when missing).
        const StartPreferences prefs = readStartPreferences();
        int savedPort = 1;
        bool master = false, noUser = false, sqlValue = false;
        if (prefs.opened) {
            savedPort = prefs.port;
            master = prefs.master;
            noUser = prefs.noUser;
            sqlValue = prefs.sql;
            QSpinBox *ddm[3] = {TabSheet1->SpinEditA, TabSheet1->SpinEditB, TabSheet1->SpinEditC};
            for (int i = 0; i < 3; ++i)
                if (prefs.ddm[size_t(i)])
                    ddm[i]->setValue(*prefs.ddm[size_t(i)]);
            // The password boxes are never masked, so "Password" changes nothing.
        }
        // 6
        m_modes = deriveModes(master, noUser, sqlValue, sqlMarkerExists());
        // The window takes over keys only in SQL mode; otherwise no event of the
        // program need pass through its filter.
        if (sqlMode())
            qApp->installEventFilter(this);
        else
            qApp->removeEventFilter(this);
        // 7
        applyModeEffects();
        // 8
        QThread::msleep(50);
        buildPortList(savedPort);
        // 9: the engine, with an empty queue, exists since construction.
        // 10
        TabSchedule->setupTariffPickLists();
        // 11
        setBaudIndex(LinkBar::StartBaudIndex);
        // 12
        TabSheet5->DTP1->setDateTime(QDateTime::currentDateTime());
        TabSheet5->DTP2->setDateTime(QDateTime::currentDateTime());
        // 13
        loadLastSettings();
        // 14
        TabSheet1->copyPasswordMasking();
        // 15
        m_engine->setReplyTimeout(Panel1->SpinTimer->value());
        // 16
        PageControl1->setCurrentIndex(0);
        // 17
        Panel1->setTint(panelTint(QApplication::palette().color(QPalette::Button)));
        // 18
        TabSheet2->BtnJournal->setEnabled(true);
        TabSheet2->BtnDiary->setEnabled(true);
        // 19
        TabSchedule->applyEnablingRule();
        // 20
        fillDefaultHolidays();
    } catch (const std::exception &e) {
        reportError(e);
    }
}

void FormMain::applyModeEffects()
{
    const bool master = masterMode();
    const bool sql = sqlMode();
    m_engine->setMasterMode(master);
    m_engine->setSqlMode(sql);

    // master mode
    PageControl1->setTabText(PageControl1->indexOf(TabSheet4),
                             master ? QStringLiteral("Терминал") : QStringLiteral("Протокол"));
    QSpinBox *number = TabSheet1->SpinEdit_Number;
    number->setReadOnly(!master);
    {
        QPalette p = TabSheet1->GroupBox1->palette();
        if (!master)
            p.setColor(QPalette::Base, p.color(QPalette::Window));
        number->setPalette(p);
    }
    TabSheet1->BitBtn1->setVisible(master);
    TabSheet1->setSqlMode(sql);
    TabSheet4->CheckBox_Terminal->setChecked(!master);

    // password editing
    TabSheet1->LabeledPass1->setReadOnly(!passwordEditing());

    // SQL mode
    TabSheet1->LabeledDelta->setVisible(sql);
    PageControl1->setTabVisible(PageControl1->indexOf(TabSheet5), !sql);
    ActionOpen->setEnabled(!sql);
    PageControl1->setTabVisible(PageControl1->indexOf(TabSchedule), !sql);
    TabSheet1->CheckAddr->setChecked(sql);
    TabSheet1->CheckTime->setChecked(true);
    TabSheet1->GroupTimerCorrect->setVisible(sql);
    TabSheet1->CheckCorrect->setVisible(sql);
    TabSheet1->CheckCorrect->setChecked(sql);
    TabSheet1->CheckResetTariff->setVisible(sql);
    m_fixDbButton->setVisible(sql);
    NFixDb->setVisible(sql);
    m_spoilageButton->setVisible(sql);
    N16->setVisible(sql);
}

bool FormMain::probePort(int portNum)
{
    bool ok = false;
    try {
        Comm1->setPortNum(portNum);
        Comm1->open();
        ok = Comm1->writeByte(0x00);
    } catch (const SerialChannelError &) {
        ok = false;
    }
    try {
        Comm1->close();
    } catch (const SerialChannelError &) {
    }
    return ok;
}

void FormMain::buildPortList(int savedPort)
{
    Panel1->buildPortList(systemPortNames(), savedPort, [this](int n) { return probePort(n); });
    Comm1->setPortNum(Panel1->selectedPortNumber());
}

void FormMain::setBaudIndex(int index)
{
    if (index < 0 || index > 3)
        return;
    Panel1->selectBaud(index);
    Comm1->setBaudrate(BaudForIndex[index]);
}

void FormMain::loadLastSettings()
{
    if (sqlMode()) {
        loadProductionSettings();
        return;
    }
    const DbfTable table = openOrCreateRegister(QDir::currentPath());
    const auto last = latestSettings(table);
    if (!last)
        return;
    // The zones of the latest record; a NULL time reads as 00:00.
    if (last->zone0) {
        TabSchedule->setOneTariff(*last->zone0 == 0);
        if (*last->zone0 != 0) {
            TabSchedule->setTariffText(0, QString::number(*last->zone0));
            TabSchedule->setStartTime(0, last->times[0].value_or(QTime(0, 0)));
        }
    }
    for (int zone = 1; zone <= 5; ++zone) {
        if (const auto &tariff = last->zones[size_t(zone - 1)]) {
            TabSchedule->setTariffText(zone, *tariff);
            TabSchedule->setStartTime(zone, last->times[size_t(zone)].value_or(QTime(0, 0)));
        }
    }
    if (last->indicator) {
        QCheckBox *boxes[4] = {TabSheet1->CheckBox1, TabSheet1->CheckBox2, TabSheet1->CheckBox3, TabSheet1->CheckBox4};
        for (int bit = 0; bit < 4; ++bit)
            boxes[bit]->setChecked(*last->indicator & (1 << bit));
    }
}
ProductionDatabase &FormMain::database()
{
    if (!m_database || !m_database->isOpen()) {
        // A connection the server dropped is closed: the old object goes first, because
        // its destructor removes the connection of its name, which the new one reuses.
        m_database.reset();
        auto db = std::make_unique<ProductionDatabase>(
            readConnectionSettings(preferencesOrganisation(), preferencesApplication()));
        db->open();
        m_database = std::move(db);
    }
    return *m_database;
}

void FormMain::setPcClockFromServer()
{
    const QDateTime server = database().serverTime();
    // A refusal of the system is ignored; ZK_KEEP_PC_CLOCK keeps test machines' clocks.
    if (!qEnvironmentVariableIsSet("ZK_KEEP_PC_CLOCK"))
        setPcClock(server);
}

void FormMain::identifyBench()
{
    try {
        const Identification id = database().identify(localComputerName(), localLogin());
        if (!id.ok()) {
            showMessage(this, QMessageBox::Warning, QString::fromUtf8(CaptionStopped), id.problem);
            // The program ends without its shut-down sequence: nothing is saved.
            hide();
            QCoreApplication::exit(1);
            return;
        }
        m_bench = id.identity;
        setPcClockFromServer();
    } catch (const DatabaseError &e) {
        reportError(e.text());
    }
}

void FormMain::loadProductionSettings()
{
    const ProductionStartSettings last = database().lastSettings();
    TabSchedule->setOneTariff(last.oneTariff);
    if (!last.oneTariff) {
        for (int zone = 0; zone < 6; ++zone) {
            TabSchedule->setTariffText(zone, last.zones[size_t(zone)]);
            TabSchedule->setStartTime(zone, last.zoneTimes[size_t(zone)]);
        }
    }
    if (last.indicator) {
        QCheckBox *boxes[4] = {TabSheet1->CheckBox1, TabSheet1->CheckBox2, TabSheet1->CheckBox3, TabSheet1->CheckBox4};
        for (int bit = 0; bit < 4; ++bit)
            boxes[bit]->setChecked(*last.indicator & (1 << bit));
    }
    if (last.password)
        TabSheet1->LabeledPass1->setText(*last.password);
}

void FormMain::recordProductionWrite()
{
    const ProductionRecord record = buildProductionRecord(TabSheet1->settingsToWrite(), readoutForRecord(),
                                                          TabSheet1->LabeledDelta->text());
    try {
        const RecordResult result = database().recordWrite(m_bench, record);
        if (!result.recorded()) {
            showMessage(this, QMessageBox::Critical, result.caption, result.message);
            return;
        }
    } catch (const DatabaseError &e) {
        reportError(e.text());
        return;
    }
    emit writeRecorded();
}

void FormMain::lookupLastSettingTime()
{
    try {
        m_lastSettingTime = database().lastSettingTime(TabSheet1->SpinEdit_Number->value());
    } catch (const DatabaseError &e) {
        reportError(e.text()); // the poll goes on; the last setting time stays
    }
}
void FormMain::showDrift(const MeterClock &clock)
{
    // The drift needs the meter's time of day as well as its date.
    if (!clock.time().isValid())
        return;
    const auto drift = driftPerDay(QDateTime(clock.date(), clock.time()), QDateTime::currentDateTime(),
                                   m_lastSettingTime);
    if (drift)
        TabSheet1->LabeledDelta->setText(driftText(*drift));
}
void FormMain::BitBtn1Click()
{
    qint64 next = 0;
    try {
        next = sqlMode() ? database().nextFreeNumber() : nextFreeNumber(openOrCreateRegister(QDir::currentPath()));
    } catch (const Error &e) {
        reportError(e.text());
        return;
    }
    QSpinBox *number = TabSheet1->SpinEdit_Number;
    if (next > number->maximum()) {
        showError(this, QStringLiteral("Следующий свободный номер %1 больше наибольшего заводского номера %2.")
                            .arg(next)
                            .arg(number->maximum()));
        return;
    }
    number->setValue(int(next));
    setEdited(number, true);
}
void FormMain::Timer3Timer()
{
    const QDateTime now = QDateTime::currentDateTime();
    TabSheet1->refreshPickers(now);
    showStatusText(0);
    Timer3->start(nextSecondMs(now.time()));
}

// The window counts as activated on its first show and on each return from one of
// the program's own windows (a message box, About, Help, ...); a return from another
// application, with no window of the program active in between, does not count.
void FormMain::focusWindowChanged(QWindow *now)
{
    if (now && now == windowHandle() && (!m_activatedOnce || m_previousFocus))
        FormActivate();
    if (now && now == windowHandle())
        m_activatedOnce = true;
    m_previousFocus = now;
}

void FormMain::FormActivate()
{
    if (sqlMode())
        identifyBench();
}

void FormMain::closeEvent(QCloseEvent *event)
{
    if (ActionDisconnect->isEnabled())
        ActionDisconnectExecute();
    if (ActionClose->isEnabled())
        ActionCloseExecute();
    const std::array<int, 3> ddm = {TabSheet1->SpinEditA->value(), TabSheet1->SpinEditB->value(),
                                    TabSheet1->SpinEditC->value()};
    saveClosePreferences(Comm1->portNum(), TabSheet1->CheckDdmRead->isChecked(), ddm);
    event->accept();
}

// ---- connection ----------------------------------------------------------------

void FormMain::ActionConnectExecute()
{
    m_engine->setDeselect(false);
    setStatusText(0, QString());
    setStatusText(1, QString());
    Comm1->setPortNum(Panel1->selectedPortNumber());
    try {
        Comm1->open();
    } catch (const SerialChannelError &) {
        showError(this, QStringLiteral("Ошибка открытия порта ") + Panel1->ComboPort->currentText());
        return;
    }
    bool dsr = false;
    try {
        dsr = Comm1->isModemLineOn(SerialChannel::Dsr);
    } catch (const SerialChannelError &) {
        dsr = false; // a line that cannot be read counts as not set
    }
    setStatusText(1, dsr ? QString() : QStringLiteral("DSR не установлен"));
    m_engine->setConnected(true);
    m_engine->startAfterConnect();
    ActionDisconnect->setEnabled(true);
    ActionConnect->setEnabled(false);
    Panel1->setPortControlsEnabled(false);
    displayReset();
    m_engine->clearWritePending();
    TabSchedule->BtnReadSchedule->setEnabled(true);
    TabSchedule->BtnWriteSchedule->setEnabled(true);
}

void FormMain::ActionDisconnectExecute()
{
    setStatusText(0, QString());
    setStatusText(1, QString());
    try {
        Comm1->close();
    } catch (const SerialChannelError &) {
        showError(this, QStringLiteral("Ошибка закрытия порта ") + Panel1->ComboPort->currentText());
        return;
    }
    // Flags first, then the queue: an unfinished write is dropped unrecorded.
    m_engine->stopAfterDisconnect();
    ActionSetting->setEnabled(false);
    ActionFixDb->setEnabled(false);
    ActionDisconnect->setEnabled(false);
    ActionConnect->setEnabled(true);
    ActionFindAddress->setEnabled(false);
    Panel1->setPortControlsEnabled(true);
    TabSchedule->BtnReadSchedule->setEnabled(false);
    TabSchedule->BtnWriteSchedule->setEnabled(false);
    displayReset();
}

void FormMain::ActionFindAddressExecute()
{
    m_engine->startAddressSearch();
}

void FormMain::ActionResetExecute()
{
    displayReset();
}

void FormMain::ActionSettingExecute()
{
    if (sqlMode()) {
        try {
            setPcClockFromServer();
        } catch (const DatabaseError &e) {
            reportError(e.text()); // nothing is queued
            return;
        }
    }
    const SettingsWrite write = TabSheet1->settingsToWrite();
    // A value the frames cannot carry stops the write before anything is sent.
    if (const QString problem = settingsProblem(write); !problem.isEmpty()) {
        showError(this, problem, QStringLiteral("Ошибка записи"));
        return;
    }
    m_engine->setSettingsWritePending(true);
    m_engine->enqueue(settingsFrames(write));
}

void FormMain::LabeledPass1Change()
{
    m_engine->setDeselect(true);
    PageSettings *p = TabSheet1;
    ActionSetting->setEnabled(writeAllowed(ActionDisconnect->isEnabled(), p->LabeledPass2->text(),
                                           p->LabeledPass1->text(), p->CheckPassword->isChecked()));
}

void FormMain::BitBtn5Click()
{
    m_engine->enqueue(billingResetFrames(TabSheet1->LabeledPass2->text()));
}

void FormMain::ActionPlusDDMExecute()
{
    if (sqlMode())
        TabSheet1->stepDdm(3);
}

void FormMain::ActionMinusDDMExecute()
{
    if (sqlMode())
        TabSheet1->stepDdm(-3);
}

bool FormMain::eventFilter(QObject *watched, QEvent *event)
{
    // In SQL mode Ctrl+A and Ctrl+D step the DDM numbers wherever the focus is in
    // this window, also in the number boxes, whose own Ctrl+A would select their
    // text; the password boxes keep select-all.
    if (event->type() == QEvent::ShortcutOverride && sqlMode()) {
        const auto *key = static_cast<QKeyEvent *>(event);
        const QKeyCombination combo = key->keyCombination();
        const bool stepKey = combo == QKeyCombination(Qt::ControlModifier, Qt::Key_A)
            || combo == QKeyCombination(Qt::ControlModifier, Qt::Key_D);
        auto *widget = qobject_cast<QWidget *>(watched);
        if (stepKey && widget && widget->window() == this && widget != TabSheet1->LabeledPass1
            && widget != TabSheet1->LabeledPass2) {
            event->ignore(); // not taken by the widget: the window's shortcut fires
            return true;
        }
    }
    return QMainWindow::eventFilter(watched, event);
}

// Behaviour of later parts.
void FormMain::ActionOpenExecute()
{
    try {
        const DbfTable table = openOrCreateRegister(QDir::currentPath());
        TabSheet5->openView(table.path());
    } catch (const DbfError &e) {
        reportError(e.text());
        return;
    }
    ActionOpen->setEnabled(false);
    ActionClose->setEnabled(true);
    PageControl1->setCurrentWidget(TabSheet5);
}

void FormMain::ActionCloseExecute()
{
    TabSheet5->closeView();
    ActionOpen->setEnabled(!sqlMode());
    ActionClose->setEnabled(false);
}
void FormMain::ActionSpoilageExecute()
{
    auto *window = qobject_cast<FormSpoilage *>(m_spoilage.data());
    if (!window)
        return;
    const int serial = TabSheet1->SpinEdit_Number->value();
    std::optional<int> electroId;
    try {
        electroId = database().meterId(serial);
    } catch (const DatabaseError &e) {
        reportError(e.text());
        return;
    }
    if (!electroId) {
        showMessage(this, QMessageBox::Critical, QString::fromUtf8(CaptionDefectLookup), MessageMeterNotRegistered);
        return;
    }
    window->setMeter(*electroId, serial);
    window->setRegister([this](int id, const QString &code) {
        try {
            database().registerDefect(id, m_bench, code);
        } catch (const DatabaseError &e) {
            throw std::runtime_error(e.text().toStdString());
        }
    });
    window->exec();
}
void FormMain::ActionFocusCorrectExecute()
{
    if (!TabSheet1->GroupTimerCorrect->isHidden())
        TabSheet1->EditCorrect->setFocus();
}

void FormMain::ActionCountCorrectExecute()
{
    if (!correctionMeasurementValid(TabSheet1->EditCorrect->text()))
        return;
    // Setting the value marks it, so the poll keeps it until it is written.
    if (const auto correction = recalculatedCorrection(TabSheet1->EditCorrect->text().trimmed().toLongLong()))
        TabSheet1->SpinClock->setValue(*correction);
}
void FormMain::ActionFixDbExecute()
{
    const ProductionRecord record = buildProductionRecord(SettingsWrite{}, readoutForRecord(),
                                                          TabSheet1->LabeledDelta->text()).readingsOnly();
    try {
        const RecordResult result = database().recordFix(m_bench, record);
        if (!result.recorded()) {
            showMessage(this, QMessageBox::Critical, result.caption, result.message);
            return; // nothing recorded: no green light
        }
    } catch (const DatabaseError &e) {
        reportError(e.text());
        return;
    }
    emit writeRecorded();
    // Green for two seconds, then the display reset, as after a write.
    showVerdict(WriteVerdict::Success);
    m_engine->timerShape().start();
}

void FormMain::N17Click()
{
    if (m_status)
        m_status->exec();
}

void FormMain::N20Click()
{
    if (m_help)
        m_help->exec();
}

void FormMain::N15Click()
{
    if (m_about)
        m_about->exec();
}

// ---- queries for tests and tools -------------------------------------------------

bool FormMain::toolButtonShown(const QString &name) const
{
    for (QAction *a : ToolBar1->actions()) {
        QWidget *w = ToolBar1->widgetForAction(a);
        if ((w && w->objectName() == name) || a->objectName() == name)
            return a->isVisible();
    }
    return false;
}

QString FormMain::statusText(int panel) const
{
    if (panel == 2)
        return m_panels[2]->text();
    return (panel >= 0 && panel < 2) ? m_statusTexts[panel] : QString();
}

// ---- EngineHost --------------------------------------------------------------------

int FormMain::address() const
{
    return Panel1->SpinAddr->value();
}

void FormMain::setAddress(int address)
{
    Panel1->SpinAddr->setValue(address);
}

int FormMain::newAddress() const
{
    return TabSheet1->SpinNewAddr->value();
}

bool FormMain::terminalOn() const
{
    return TabSheet4->CheckBox_Terminal->isChecked();
}

void FormMain::addLogLine(const QString &line)
{
    TabSheet4->addLine(line);
}

void FormMain::clearLog()
{
    TabSheet4->Memo_Terminal->clear();
}

void FormMain::beep()
{
    QApplication::beep();
}

void FormMain::setStatusText(int panel, const QString &text)
{
    if (panel < 0 || panel > 1)
        return;
    m_statusTexts[panel] = text;
    // A count at every exchange is more than anyone reads and would repaint the panel as
    // often: the latest count shows with the PC clock's tick, in the same repaint.
    // Clearing is immediate.
    if (panel == 0 && !text.isEmpty())
        return;
    showStatusText(panel);
}

void FormMain::showStatusText(int panel)
{
    if (m_panels[panel]->text() != m_statusTexts[panel])
        m_panels[panel]->setText(m_statusTexts[panel]);
}

void FormMain::showVerdict(WriteVerdict verdict)
{
    Shape1->setColour(verdict == WriteVerdict::Success ? QColor(0, 255, 0) : QColor(255, 0, 0));
    m_indicatorHolder->setVisible(true);
}

bool FormMain::indicatorShown() const
{
    return m_indicatorHolder->isVisible();
}

void FormMain::hideIndicator()
{
    m_indicatorHolder->setVisible(false);
}

void FormMain::setWriteEnabled(bool enabled)
{
    ActionSetting->setEnabled(enabled);
    ActionFixDb->setEnabled(enabled);
}

void FormMain::setFindAddressEnabled(bool enabled)
{
    ActionFindAddress->setEnabled(enabled);
}

void FormMain::setGauges(bool annual, bool consumption)
{
    TabSheet2->Gauge1->setVisible(annual);
    TabSheet2->Gauge2->setVisible(consumption);
}

void FormMain::firmwareChanged(const FirmwareVersion &version)
{
    TabSheet1->LabeledVersion->setText(version.text);
    const bool newer = version.number >= 10;
    TabSchedule->StringAttrib->setVisible(newer);
    TabSchedule->GroupCel->setVisible(newer);
    TabSchedule->GroupTransfer->setVisible(newer);
    TabSchedule->BtnTemplet->setVisible(newer);
    TabSheet1->LabelA->setVisible(newer);
    TabSheet1->LabelB->setVisible(newer);
    TabSheet1->LabelC->setVisible(newer);
}

void FormMain::resetAction()
{
    if (ActionReset->isEnabled())
        ActionReset->trigger();
}

void FormMain::displayReset()
{
    TabSheet1->displayReset();
    m_lastSettingTime = QDateTime();
    if (PageControl1->currentIndex() == 0 && TabSheet1->SpinEdit_Number->isVisible())
        TabSheet1->SpinEdit_Number->setFocus();
}

void FormMain::recordWrite()
{
    if (sqlMode()) {
        recordProductionWrite();
        return;
    }
    try {
        DbfTable table = openOrCreateRegister(QDir::currentPath());
        zk::recordWrite(table, buildSettingsRecord(TabSheet1->settingsToWrite(), readoutForRecord()),
                        QDateTime::currentDateTime());
    } catch (const DbfError &e) {
        showMessage(this, QMessageBox::Critical, QStringLiteral("Ошибка БД"),
                    QStringLiteral("Ошибка записи в БД: ") + e.text());
        return;
    }
    emit writeRecorded();
}

ReadoutForRecord FormMain::readoutForRecord() const
{
    ReadoutForRecord r;
    const PageSettings *p = TabSheet1;
    r.serial = p->SpinEdit_Number->value();
    r.version = p->LabeledVersion->text();
    r.turnOnCount = p->EditOff->text();
    r.status = p->lastStatus();
    for (const StringGrid *grid : {TabSheet3->GridValue, TabSheet3->GridValue_1})
        for (int row = 1; row <= 3; ++row)
            r.readings << grid->cellText(row, 1);
    r.corrections = p->LabeledNCorrect->text();
    return r;
}

void FormMain::reportWriteFailure(const QString &text)
{
    showError(this, text);
}

// ---- journals ----

void FormMain::queueRequests(const QList<QByteArray> &frames)
{
    m_engine->enqueue(frames);
}

void FormMain::annualReply(const QByteArray &frame)
{
    const auto reply = decodeAnnual(frame);
    if (!reply)
        return;
    TabSheet2->showAnnual(*reply);
    if (isBadMonthEntry(*reply))
        m_engine->log(BadJournalMonthText);
}

void FormMain::BtnJournalClick()
{
    exportJournal(true);
}

void FormMain::BtnDiaryClick()
{
    exportJournal(false);
}

// What the view shows, into a workbook the operator names; then opened.
void FormMain::exportJournal(bool annual)
{
    const TextTable texts = annual ? TabSheet2->annualTexts() : TabSheet2->consumptionTexts();
    const QString title = journalTitle(annual, TabSheet1->SpinEdit_Number->value());
    const QString path = askSaveFile(this, QStringLiteral("xls"));
    if (path.isEmpty())
        return;
    try {
        writeExport(ExportTable{texts}, title, path, QLocale());
    } catch (const ExportError &) {
        showMessage(this, QMessageBox::Warning, QStringLiteral("Warning"), exportFailureText());
        return;
    }
    openWithDesktop(path);
}

void FormMain::consumptionReply(const QByteArray &frame)
{
    if (const auto reply = decodeConsumption(frame))
        TabSheet2->showConsumption(*reply, QDate::currentDate().year());
}

// ---- tariff schedule ----

void FormMain::fillDefaultHolidays()
{
    TabSchedule->BtnTempletClick();
}

void FormMain::BtnReadScheduleClick()
{
    const int firmware = m_engine->firmwareNumber();
    // The lists are emptied when the read is queued; its replies refill them.
    if (hasCalendars(firmware))
        TabSchedule->clearCalendars();
    m_engine->enqueue(scheduleReadFrames(firmware));
}

void FormMain::BtnWriteScheduleClick()
{
    const int firmware = m_engine->firmwareNumber();
    if (!TabSchedule->ValidateSchedule(firmware))
        return;
    const TariffSchedule schedule = TabSchedule->schedule();
    // What the frames could not carry stops the write before anything is queued.
    QString problem = schedule.oneTariff ? QString() : TabSchedule->tariffProblem();
    if (problem.isEmpty() && !schedule.oneTariff && hasCalendars(firmware))
        problem = calendarProblem(schedule);
    if (!problem.isEmpty()) {
        showError(this, problem);
        return;
    }
    m_engine->setScheduleWritePending(true);
    m_engine->enqueue(scheduleWriteFrames(schedule, firmware, TabSheet1->LabeledPass2->text()));
}

void FormMain::zoneReply(const QByteArray &frame)
{
    const auto reply = decodeZones(frame);
    if (!reply)
        return;
    for (int zone : TabSchedule->showZones(*reply))
        m_engine->log(badZoneTimeText(zone));
}

} // namespace zk
