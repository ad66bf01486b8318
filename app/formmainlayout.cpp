// The main window's frame: actions, menus, tool bar, pages, status bar and the link
// indicator, under their names, and the window's fixed size.
#include "app/formmain.h"

#include "app/icons/icons.h"
#include "app/pageterminal.h"
#include "link/linkbar.h"
#include "meter/clockcorrection.h"
#include "meter/pagereadings.h"
#include "meter/pagesettings.h"
#include "records/pagedatabase.h"
#include "schedule/pagejournal.h"
#include "schedule/pageschedule.h"
#include "ui/messagebox.h"
#include "ui/widgets.h"

#include <QAction>
#include <QApplication>
#include <QActionGroup>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QStatusBar>
#include <QTabWidget>
#include <QToolBar>
#include <QToolButton>
#include <QVBoxLayout>

namespace zk {

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


} // namespace

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
    ActionLineScan = makeAction(this, "ActionLineScan", QStringLiteral("&Обзор линии"),
                                QStringLiteral("Обзор линии: все счетчики на линии"), {}, -1, true);
    ActionFixDb = makeAction(this, "ActionFixDb", QStringLiteral("Зафиксировать в Б&Д"),
                             QStringLiteral("Зафиксировать в БД"), {}, 9, false);

    // The actions belong to the window, so their shortcuts work wherever their
    // menu items and buttons are shown or hidden.
    for (QAction *a : {ActionConnect, ActionDisconnect, ActionSetting, ActionReset, ActionOpen,
                       ActionClose, ActionSpoilage, ActionFocusCorrect, ActionCountCorrect,
                       ActionPlusDDM, ActionMinusDDM, ActionFindAddress, ActionLineScan, ActionFixDb}) {
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
    connect(ActionLineScan, &QAction::triggered, this, &FormMain::ActionLineScanExecute);
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
    NLineScan = menuItem(N1, ActionLineScan, "NLineScan");
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
    N6->addSeparator();
    NVerify = N6->addAction(QStringLiteral("Проверять запись"));
    NVerify->setObjectName(QStringLiteral("NVerify"));
    NVerify->setCheckable(true);
    connect(NVerify, &QAction::toggled, this, [](bool on) { setVerifyPreference(on); });

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
    connect(TabSheet5, &PageDatabase::viewFailed, this, [this](const QString &text) {
        ActionCloseExecute();
        reportError(text);
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

} // namespace zk
