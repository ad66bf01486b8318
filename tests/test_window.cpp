// The real main window, offscreen: mode effects, start-up state, preferences at
// close, the port list with its menu, connecting to a pseudo-terminal, and the
// default error report. Message boxes are observed through the message hook.

#include "app/application.h"
#include "app/formmain.h"
#include "app/pageterminal.h"
#include "ops/preferences.h"
#include "link/linkbar.h"
#include "link/portmap.h"
#include "link/serialchannel.h"
#include "records/formspoilage.h"
#include "records/register.h"
#include "meter/pagereadings.h"
#include "meter/pagesettings.h"
#include "schedule/pagejournal.h"
#include "schedule/pageschedule.h"
#include "tests/testproduction.h"
#include "ui/editmark.h"
#include "ui/messagebox.h"
#include "ui/widgets.h"

#include <fcntl.h>
#include <sys/file.h>

#include <QAction>
#include <QElapsedTimer>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QProgressBar>
#include <QTimeEdit>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSettings>
#include <QSpinBox>
#include <QScopeGuard>
#include <QScreen>
#include <QStyle>
#include <QTabWidget>
#include <QVBoxLayout>
#include <QTemporaryDir>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QtTest>
#include <fcntl.h>
#include <map>
#include <memory>
#include <stdlib.h>
#include <unistd.h>

using namespace zk;

namespace {

// The slave side of a pseudo-terminal; the master stays open until close().
struct Pty {
    int master = -1;
    QString path;
    Pty()
    {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        if (master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0)
            path = QString::fromLocal8Bit(ptsname(master));
    }
    ~Pty() { close(); }
    void close()
    {
        if (master >= 0)
            ::close(master);
        master = -1;
    }
    QByteArray readAll() const
    {
        QByteArray out;
        char buf[256];
        const int flags = fcntl(master, F_GETFL);
        fcntl(master, F_SETFL, flags | O_NONBLOCK);
        for (ssize_t n; (n = ::read(master, buf, sizeof buf)) > 0;)
            out.append(buf, int(n));
        fcntl(master, F_SETFL, flags);
        return out;
    }
};

} // namespace

class TestWindow : public QObject
{
    Q_OBJECT

    int m_case = 0;
    std::unique_ptr<QTemporaryDir> m_work;
    QList<Message> m_messages;

    QSettings store()
    {
        return QSettings(QSettings::NativeFormat, QSettings::UserScope, preferencesOrganisation(),
                         preferencesApplication());
    }
    void setMarker(bool on)
    {
        QFile marker(QDir(m_work->path()).filePath(SqlMarkerFile));
        if (on) {
            QVERIFY(marker.open(QIODevice::WriteOnly));
        } else {
            marker.remove();
        }
    }

private slots:
    void init()
    {
        // Fresh preferences (and port map) and a fresh working directory per test.
        const QString app = QStringLiteral("window-%1").arg(++m_case);
        setPreferencesStore(QStringLiteral("KalvimetTest"), app);
        setPortMapStore(QStringLiteral("KalvimetTest"), app);
        m_work = std::make_unique<QTemporaryDir>();
        QVERIFY(QDir::setCurrent(m_work->path()));
        // SQL mode's production database: SQLite with the demo bench of this machine.
        {
            QSettings s = store();
            makeDemoSqlite(m_work->filePath(QStringLiteral("production.sqlite")), s);
        }
        m_messages.clear();
        setApplicationTitle(FormMain::Title);
        setMessageHook([this](const Message &m) { m_messages.append(m); });
    }
    void cleanup()
    {
        setMessageHook({});
        QDir::setCurrent(QDir::tempPath());
    }

    // Ctrl+A and Ctrl+D step the DDM numbers in SQL mode wherever the focus is in
    // the window, number boxes included; the password boxes keep select-all, and
    // outside SQL mode nothing steps.
    void ddmShortcuts_data()
    {
        QTest::addColumn<bool>("sql");
        QTest::addColumn<QString>("focus");
        QTest::addColumn<int>("key");
        QTest::addColumn<int>("step");
        QTest::newRow("sql, DDM box, Ctrl+A") << true << "SpinEditB" << int(Qt::Key_A) << 3;
        QTest::newRow("sql, DDM box, Ctrl+D") << true << "SpinEditB" << int(Qt::Key_D) << -3;
        QTest::newRow("sql, serial box") << true << "SpinEdit_Number" << int(Qt::Key_A) << 3;
        QTest::newRow("sql, access password") << true << "LabeledPass2" << int(Qt::Key_A) << 0;
        QTest::newRow("local, DDM box") << false << "SpinEditB" << int(Qt::Key_A) << 0;
    }
    void ddmShortcuts()
    {
        QFETCH(bool, sql);
        QFETCH(QString, focus);
        QFETCH(int, key);
        QFETCH(int, step);
        setMarker(sql);
        FormMain w;
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        w.activateWindow();
        QWidget *target = w.TabSheet1->findChild<QWidget *>(focus);
        QVERIFY(target);
        target->setFocus();
        QTRY_VERIFY(target->hasFocus());
        w.TabSheet1->SpinEditB->setValue(10);
        QTest::keyClick(QApplication::focusWidget(), Qt::Key(key), Qt::ControlModifier);
        QCOMPARE(w.TabSheet1->SpinEditB->value(), 10 + step);
        if (focus == QLatin1String("LabeledPass2"))
            QCOMPARE(w.TabSheet1->LabeledPass2->selectedText(), w.TabSheet1->LabeledPass2->text());
    }

    // Start-up restores the zones and the indication of the first record of the
    // latest day in Setting.DBF; a NULL column leaves its control as laid out.
    void lastSettingsAtStartUp()
    {
        {
            DbfTable table = openOrCreateRegister(m_work->path());
            const QVector<DbfField> fields = table.fields();
            auto row = [&](const QDate &day, const QVariant &zone0, int indicator) {
                QVariantList values;
                for (const DbfField &f : fields) {
                    const QString n = f.name.toUpper();
                    if (n == QLatin1String("DATE_REC"))
                        values << day;
                    else if (n == QLatin1String("ZONE_0"))
                        values << zone0;
                    else if (n == QLatin1String("ZONE_2"))
                        values << QStringLiteral("3");
                    else if (n == QLatin1String("TIME_0"))
                        values << QStringLiteral("05:30:00");
                    else if (n == QLatin1String("TIME_2"))
                        values << QStringLiteral("07:15:00");
                    else if (n == QLatin1String("INDICATOR"))
                        values << indicator;
                    else
                        values << QVariant();
                }
                table.append(values);
            };
            row(QDate(2026, 1, 1), 1, 0x0F);
            row(QDate(2026, 1, 2), 2, 0x06); // the first of the latest day
            row(QDate(2026, 1, 2), 0, 0x01);
        }
        FormMain w;
        QVERIFY2(m_messages.isEmpty(), qPrintable(m_messages.value(0).text));
        QVERIFY(!w.TabSchedule->oneTariff());
        QCOMPARE(w.TabSchedule->tariffText(0), QStringLiteral("2"));
        QCOMPARE(w.TabSchedule->startTime(0), QTime(5, 30));
        QCOMPARE(w.TabSchedule->tariffText(2), QStringLiteral("3"));
        QCOMPARE(w.TabSchedule->startTime(2), QTime(7, 15));
        QVERIFY(!w.TabSheet1->CheckBox1->isChecked() && w.TabSheet1->CheckBox2->isChecked());
        QVERIFY(w.TabSheet1->CheckBox3->isChecked() && !w.TabSheet1->CheckBox4->isChecked());
    }

    // Another program holds Setting.DBF: the window still starts, within seconds, says which
    // file is busy and finishes its start-up.
    void busyRegisterAtStartUp()
    {
        const QString path = openOrCreateRegister(m_work->path()).path();
        const int other = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
        QVERIFY(other >= 0);
        QCOMPARE(::flock(other, LOCK_EX), 0);
        QElapsedTimer clock;
        clock.start();
        FormMain w;
        ::close(other);
        QVERIFY(clock.elapsed() < 10000);
        QCOMPARE(m_messages.size(), 1);
        QVERIFY2(m_messages.at(0).text.contains(path) && m_messages.at(0).text.contains(QStringLiteral("занята")),
                 qPrintable(m_messages.at(0).text));
        QCOMPARE(w.TabSchedule->holidays().size(), 12);
    }

    // F9 recalculates the correction from the bench measurement in SQL mode; the
    // value stays marked until written. F8 moves the focus there, in SQL mode only.
    void correctionRecalculation()
    {
        setMarker(true);
        FormMain w;
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        QVERIFY(!w.ActionCountCorrect->isEnabled());
        w.TabSheet1->EditCorrect->setText(QStringLiteral("1875"));
        QVERIFY(!w.ActionCountCorrect->isEnabled());
        w.TabSheet1->EditCorrect->setText(QStringLiteral("1000"));
        QVERIFY(w.ActionCountCorrect->isEnabled());
        w.ActionCountCorrect->trigger();
        QCOMPARE(w.TabSheet1->SpinClock->value(), -6);
        QVERIFY(isEdited(w.TabSheet1->SpinClock));
        w.TabSheet1->showCorrection(5); // the poll leaves it alone
        QCOMPARE(w.TabSheet1->SpinClock->value(), -6);
        w.activateWindow();
        w.TabSheet1->LabeledPass2->setFocus();
        w.ActionFocusCorrect->trigger();
        QTRY_VERIFY(w.TabSheet1->EditCorrect->hasFocus());
        QVERIFY(w.TabSheet1->LabeledDelta->isVisibleTo(&w));
    }

    void spoilageWindow()
    {
        FormSpoilage w;
        QList<QPair<int, QString>> calls;
        w.setRegister([&calls](int id, const QString &code) {
            if (code == QLatin1String("bad"))
                throw std::runtime_error("нет связи с сервером");
            calls.append({id, code});
        });
        w.setMeter(7, 12345);
        w.LabeledEdit2->setText(QStringLiteral("x"));
        w.show();
        QCOMPARE(w.LabeledEdit1->text(), QStringLiteral("12345"));
        QVERIFY(w.LabeledEdit2->text().isEmpty()); // emptied at each showing
        QVERIFY(!w.BitBtn1->isEnabled());
        w.LabeledEdit2->setText(QStringLiteral("   "));
        QVERIFY(!w.BitBtn1->isEnabled());
        w.LabeledEdit2->setText(QStringLiteral("  A1 "));
        QVERIFY(w.BitBtn1->isEnabled());
        w.BitBtn1->click();
        QCOMPARE(calls, (QList<QPair<int, QString>>{{7, QStringLiteral("A1")}}));
        QVERIFY(!w.BitBtn1->isEnabled());
        // A database error: the default report with its text; the button stays.
        w.LabeledEdit2->setText(QStringLiteral("bad"));
        w.BitBtn1->click();
        QCOMPARE(m_messages.size(), 1);
        QVERIFY(m_messages[0].text.contains(QStringLiteral("нет связи с сервером")));
        QVERIFY(w.BitBtn1->isEnabled());
        QCOMPARE(calls.size(), 1);
    }

    void modeEffects_data()
    {
        QTest::addColumn<bool>("master");
        QTest::addColumn<bool>("noUser");
        QTest::addColumn<bool>("sqlValue");
        QTest::addColumn<bool>("marker");
        QTest::addColumn<int>("mode");
        QTest::addColumn<bool>("sql");
        QTest::newRow("nothing") << false << false << false << false << 2 << false;
        QTest::newRow("Master") << true << false << false << false << 3 << false;
        QTest::newRow("NoUser") << false << true << false << false << 0 << false;
        QTest::newRow("Master NoUser") << true << true << false << false << 1 << false;
        QTest::newRow("marker") << false << false << false << true << 3 << true;
        QTest::newRow("marker NoUser") << false << true << false << true << 1 << true;
        QTest::newRow("Sql without Master") << false << false << true << false << 2 << true;
        QTest::newRow("Master NoUser marker Sql") << true << true << true << true << 1 << true;
    }
    void modeEffects()
    {
        QFETCH(bool, master);
        QFETCH(bool, noUser);
        QFETCH(bool, sqlValue);
        QFETCH(bool, marker);
        QFETCH(int, mode);
        QFETCH(bool, sql);
        {
            QSettings s = store();
            if (master)
                s.setValue(QStringLiteral("Master"), 1);
            if (noUser)
                s.setValue(QStringLiteral("NoUser"), 1);
            if (sqlValue)
                s.setValue(QStringLiteral("Sql"), 1);
        }
        setMarker(marker);
        FormMain w;
        QVERIFY(m_messages.isEmpty());
        QCOMPARE(w.operatingMode(), mode);
        QCOMPARE(w.sqlMode(), sql);
        QCOMPARE(w.meterTypeId(), 10);
        QCOMPARE(w.engine()->masterMode(), bool(mode & 1));
        QCOMPARE(w.engine()->sqlMode(), sql);
        const bool m = mode & 1;

        // master mode
        QCOMPARE(w.PageControl1->tabText(4), m ? QStringLiteral("Терминал") : QStringLiteral("Протокол"));
        QCOMPARE(w.TabSheet1->SpinEdit_Number->isReadOnly(), !m);
        QCOMPARE(w.TabSheet1->BitBtn1->isHidden(), !m);
        QCOMPARE(w.TabSheet4->CheckBox_Terminal->isChecked(), !m);
        // password editing
        QCOMPARE(w.TabSheet1->LabeledPass1->isReadOnly(), !(mode & 2));
        QVERIFY(!w.TabSheet1->LabeledPass2->isReadOnly());
        // SQL mode
        QCOMPARE(w.TabSheet1->LabeledDelta->isHidden(), !sql);
        QCOMPARE(w.PageControl1->isTabVisible(5), !sql);
        QCOMPARE(w.PageControl1->isTabVisible(1), !sql);
        QVERIFY(w.PageControl1->isTabVisible(0) && w.PageControl1->isTabVisible(2)
                && w.PageControl1->isTabVisible(3) && w.PageControl1->isTabVisible(4));
        QCOMPARE(w.ActionOpen->isEnabled(), !sql);
        QCOMPARE(w.TabSheet1->CheckAddr->isChecked(), sql);
        QVERIFY(w.TabSheet1->CheckTime->isChecked());
        QCOMPARE(w.TabSheet1->GroupTimerCorrect->isHidden(), !sql);
        QCOMPARE(w.TabSheet1->CheckCorrect->isHidden(), !sql);
        QCOMPARE(w.TabSheet1->CheckCorrect->isChecked(), sql);
        QCOMPARE(w.TabSheet1->CheckResetTariff->isHidden(), !sql);
        QCOMPARE(w.toolButtonShown(QStringLiteral("ToolButtonFixDb")), sql);
        QCOMPARE(w.toolButtonShown(QStringLiteral("ToolButton11")), sql);
        QCOMPARE(w.NFixDb->isVisible(), sql);
        QCOMPARE(w.N16->isVisible(), sql);
        // Tool tips are the actions' hints; the open-table button has its own.
        auto tip = [&w](const char *name) {
            auto *button = w.ToolBar1->findChild<QToolButton *>(QLatin1String(name));
            return button ? button->toolTip() : QStringLiteral("<none>");
        };
        QCOMPARE(tip("ToolButton1"), QStringLiteral("Установить связь"));
        QCOMPARE(tip("ToolButton2"), QStringLiteral("Поиск адреса"));
        QCOMPARE(tip("ToolButton9"), QStringLiteral("Открыть таблицу"));
        QCOMPARE(tip("ToolButton10"), QStringLiteral("Закрыть таблицу"));
        // Hidden buttons keep their actions' shortcuts alive.
        QVERIFY(w.ActionSpoilage->isVisible());
        QVERIFY(w.toolButtonShown(QStringLiteral("ToolButton1")));
    }

    // The window is sized once, after the mode effects: every page and every box
    // on it gets at least the room it needs, in either mode.
    void pagesFitTheWindow_data()
    {
        QTest::addColumn<bool>("marker");
        QTest::newRow("local mode") << false;
        QTest::newRow("SQL mode") << true;
    }
    void pagesFitTheWindow()
    {
        QFETCH(bool, marker);
        setMarker(marker);
        FormMain w;
        QCOMPARE(w.sqlMode(), marker);
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        for (int i = 0; i < w.PageControl1->count(); ++i) {
            if (!w.PageControl1->isTabVisible(i))
                continue;
            w.PageControl1->setCurrentIndex(i);
            QWidget *page = w.PageControl1->widget(i);
            QCoreApplication::processEvents();
            const QSize need = page->minimumSizeHint();
            QVERIFY2(page->width() >= need.width() && page->height() >= need.height(),
                     qPrintable(page->objectName()));
            const auto controls = page->findChildren<QWidget *>();
            for (QWidget *c : controls) {
                // The edit inside a spin box is the spin box's business.
                if (!c->isVisibleTo(page) || qobject_cast<QAbstractSpinBox *>(c->parentWidget())
                    || !(qobject_cast<QLineEdit *>(c) || qobject_cast<QCheckBox *>(c)
                         || qobject_cast<QAbstractSpinBox *>(c)))
                    continue;
                QVERIFY2(c->height() >= c->minimumSizeHint().height(),
                         qPrintable(page->objectName() + QLatin1Char('/') + c->objectName()));
            }
        }
    }

    // Pages of PageTabs paint the pane beneath them: the window looks as with a plain
    // tab widget, and a change on a page repaints neither the tab widget nor the window.
    void pageTabsPaintTheirPane_data()
    {
        QTest::addColumn<QString>("styleName");
        QTest::newRow("Fusion") << QStringLiteral("Fusion");
        QTest::newRow("Windows") << QStringLiteral("Windows");
    }
    void pageTabsPaintTheirPane()
    {
        QFETCH(QString, styleName);
        const QString before = QApplication::style()->name();
        QApplication::setStyle(styleName);
        auto restore = qScopeGuard([&] { QApplication::setStyle(before); });

        struct Window {
            QWidget top;
            QLineEdit *value = nullptr; // its size does not follow its text
            QTabWidget *tabs = nullptr;
            explicit Window(QTabWidget *t) : tabs(t)
            {
                auto *column = new QVBoxLayout(&top);
                column->addWidget(tabs);
                auto *page = new QWidget;
                auto *group = new QGroupBox(QStringLiteral(" Календарь : "));
                value = new QLineEdit(QStringLiteral("12:00:00"));
                value->setReadOnly(true);
                (new QVBoxLayout(group))->addWidget(value);
                (new QVBoxLayout(page))->addWidget(group);
                tabs->addTab(page, QStringLiteral("Установка"));
                tabs->addTab(new QLineEdit, QStringLiteral("Журнал"));
                top.resize(320, 200);
            }
        };
        Window plain(new QTabWidget), ours(new PageTabs);
        QCOMPARE(ours.top.grab().toImage(), plain.top.grab().toImage());

        struct Paints : QObject {
            std::map<QObject *, int> count;
            bool eventFilter(QObject *o, QEvent *e) override
            {
                count[o] += e->type() == QEvent::Paint;
                return false;
            }
        };
        for (Window *w : {&plain, &ours}) {
            Paints paints;
            QWidget *page = w->tabs->widget(0);
            for (QObject *o : {static_cast<QObject *>(&w->top), static_cast<QObject *>(w->tabs),
                               static_cast<QObject *>(page), static_cast<QObject *>(w->value)})
                o->installEventFilter(&paints);
            w->top.show();
            QVERIFY(QTest::qWaitForWindowActive(&w->top));
            QTRY_VERIFY(paints.count[&w->top] > 0); // the first painting, whole
            QTest::qWait(50);
            paints.count.clear();
            w->value->setText(QStringLiteral("12:00:01"));
            QTRY_VERIFY(paints.count[w->value] > 0);
            const bool opaque = w == &ours;
            QVERIFY(paints.count[page] > 0);
            QCOMPARE(paints.count[w->tabs] == 0, opaque);
            QCOMPARE(paints.count[&w->top] == 0, opaque);
            // What is on the screen after the partial repaint is the whole window painted anew.
            const QImage shown = w->top.screen()->grabWindow(w->top.winId()).toImage().convertToFormat(QImage::Format_RGB32);
            QCOMPARE(shown, w->top.grab().toImage().convertToFormat(QImage::Format_RGB32));
        }
    }

    void startState()
    {
        {
            QSettings s = store();
            s.setValue(QStringLiteral("DDMA"), 111);
            s.setValue(QStringLiteral("DDMB"), 222);
        }
        FormMain w;
        auto *ts = w.TabSheet1;
        QCOMPARE(ts->SpinEditA->value(), 111);
        QCOMPARE(ts->SpinEditB->value(), 222);
        QCOMPARE(ts->SpinEditC->value(), 0);
        QCOMPARE(w.PageControl1->currentIndex(), 0);
        QCOMPARE(w.Panel1->ComboBaud->currentText(), QStringLiteral("4800"));
        QVERIFY(w.N48001->isChecked());
        QCOMPARE(w.channel()->baudrate(), SerialChannel::br4800);
        QCOMPARE(w.Panel1->SpinTimer->value(), 1000);
        QCOMPARE(w.engine()->timer2().interval(), 1000);
        // The timeout moves by its arrows in steps of 100 and takes no typing.
        QTest::keyClick(w.Panel1->SpinTimer, Qt::Key_Up);
        QCOMPARE(w.Panel1->SpinTimer->value(), 1100);
        QCOMPARE(w.engine()->timer2().interval(), 1100);
        w.Panel1->SpinTimer->selectAll();
        QTest::keyClicks(w.Panel1->SpinTimer, QStringLiteral("300"));
        QTest::keyClick(w.Panel1->SpinTimer, Qt::Key_Return);
        QCOMPARE(w.Panel1->SpinTimer->value(), 1100);
        QTest::keyClick(w.Panel1->SpinTimer, Qt::Key_Down);
        QCOMPARE(w.Panel1->SpinTimer->value(), 1000);
        QCOMPARE(w.Panel1->palette().color(QPalette::Window),
                 panelTint(QApplication::palette().color(QPalette::Button)));
        QVERIFY(w.ActionConnect->isEnabled());
        for (QAction *a : {w.ActionDisconnect, w.ActionSetting, w.ActionClose, w.ActionCountCorrect,
                           w.ActionFindAddress, w.ActionFixDb})
            QVERIFY2(!a->isEnabled(), qPrintable(a->objectName()));
        QCOMPARE(w.ActionSetting->shortcut(), QKeySequence(Qt::Key_F12));
        QCOMPARE(w.ActionFindAddress->shortcut(), QKeySequence(Qt::Key_F3));
        QVERIFY(w.N7->text().endsWith(QStringLiteral("\tF12")));
        QCOMPARE(ts->LabeledPass1->text(), ts->LabeledPass2->text());
        QCOMPARE(ts->LabeledPass1->echoMode(), ts->LabeledPass2->echoMode());
        QCOMPARE(w.TabSheet3->GridValue->cellText(4, 0), QStringLiteral("сумма"));
        QCOMPARE(w.TabSheet2->GridJournal->cellText(12, 0), QStringLiteral("дек."));
        QCOMPARE(w.TabSchedule->StringAttrib->cellText(0, 7), QStringLiteral("ПР"));
        QCOMPARE(w.TabSchedule->StringAttrib->cellText(6, 0), QStringLiteral(" + "));
        // One-tariff mode greys the multi-tariff groups, not the buttons on the page.
        QVERIFY(!w.TabSchedule->Picker_Zone[3]->isEnabled());
        QVERIFY(!w.TabSchedule->BtnInsCel->isEnabled());
        QVERIFY(w.TabSchedule->BtnTemplet->isEnabled());
        QVERIFY(!w.TabSchedule->BtnReadSchedule->isEnabled());
        QVERIFY(w.TabSheet2->BtnJournal->isEnabled() && w.TabSheet2->BtnDiary->isEnabled());
        QVERIFY(w.TabSheet2->Gauge1->isHidden() && w.TabSheet2->Gauge2->isHidden());
        QVERIFY(!w.toolButtonShown(QStringLiteral("Shape1")));
    }

    void displayResetClearsMarks()
    {
        FormMain w;
        auto *ts = w.TabSheet1;
        ts->SpinDay->setValue(5);      // an operator change marks the box
        ts->CheckBox2->click();
        w.Panel1->SpinAddr->setValue(7);
        ts->LabeledVersion->setText(QStringLiteral("1.12"));
        ts->SpinEdit_Number->setValue(42);
        ts->SpinEdit_Number->setEnabled(false);
        QVERIFY(isEdited(ts->SpinDay) && isEdited(ts->CheckBox2));
        w.ActionReset->trigger();
        QVERIFY(!isEdited(ts->SpinDay));
        QVERIFY(!isEdited(ts->CheckBox2));
        QVERIFY(!isEdited(ts->SpinEdit_Number));
        QVERIFY(isEdited(w.Panel1->SpinAddr)); // outside the page: kept
        QCOMPARE(ts->SpinDay->value(), 5);     // values other than the readout stay
        QCOMPARE(ts->SpinEdit_Number->value(), 0);
        QVERIFY(ts->SpinEdit_Number->isEnabled());
        QVERIFY(ts->LabeledVersion->text().isEmpty());
    }

    void firmwareGatesNewerControls_data()
    {
        QTest::addColumn<int>("number");
        QTest::addColumn<bool>("shown");
        QTest::newRow("9") << 9 << false;
        QTest::newRow("10") << 10 << true;
    }
    void firmwareGatesNewerControls()
    {
        QFETCH(int, number);
        QFETCH(bool, shown);
        FormMain w;
        w.firmwareChanged(FirmwareVersion{QStringLiteral("1.%1").arg(number), number});
        QCOMPARE(w.TabSheet1->LabeledVersion->text(), QStringLiteral("1.%1").arg(number));
        for (QWidget *c : std::initializer_list<QWidget *>{
                 w.TabSchedule->StringAttrib, w.TabSchedule->GroupCel, w.TabSchedule->GroupTransfer,
                 w.TabSchedule->BtnTemplet, w.TabSheet1->LabelA, w.TabSheet1->LabelB, w.TabSheet1->LabelC})
            QVERIFY2(c->isHidden() == !shown, qPrintable(c->objectName()));
    }

    void closeSavesPreferences_data()
    {
        QTest::addColumn<bool>("deleteKey");
        QTest::addColumn<int>("portNum");
        QTest::addColumn<bool>("ddmRead");
        QTest::addColumn<int>("savedPort");
        QTest::addColumn<int>("savedDdmB");
        QTest::newRow("port and DDM") << false << 6 << true << 6 << 3456;
        QTest::newRow("port 0 keeps the saved port") << false << 0 << true << 9 << 3456;
        QTest::newRow("DDM kept unless Не считывать") << false << 6 << false << 6 << 55;
        QTest::newRow("key gone: nothing, not created") << true << 6 << true << -1 << -1;
    }
    void closeSavesPreferences()
    {
        QFETCH(bool, deleteKey);
        QFETCH(int, portNum);
        QFETCH(bool, ddmRead);
        QFETCH(int, savedPort);
        QFETCH(int, savedDdmB);
        {
            QSettings s = store();
            s.setValue(QStringLiteral("Port"), 9);
            s.setValue(QStringLiteral("DDMB"), 55);
        }
        auto *w = new FormMain;
        QCOMPARE(w->TabSheet1->SpinEditB->value(), 55);
        w->TabSheet1->SpinEditB->setValue(3456);
        w->TabSheet1->CheckDdmRead->setChecked(ddmRead);
        w->channel()->setPortNum(portNum);
        if (deleteKey)
            QVERIFY(QFile::remove(preferencesFile()));
        QVERIFY(w->close());
        delete w;
        QCOMPARE(preferencesKeyExists(), !deleteKey);
        QSettings s = store();
        QCOMPARE(s.value(QStringLiteral("Port"), -1).toInt(), savedPort);
        QCOMPARE(s.value(QStringLiteral("DDMB"), -1).toInt(), savedDdmB);
    }

    void portListAndMenuAgree()
    {
        Pty com1, com3, com12;
        QVERIFY(!com1.path.isEmpty() && !com3.path.isEmpty() && !com12.path.isEmpty());
        mapPort(1, com1.path);
        mapPort(3, com3.path);
        mapPort(12, com12.path);
        store().setValue(QStringLiteral("Port"), 3);
        FormMain w;
        QComboBox *combo = w.Panel1->ComboPort;
        const int i1 = combo->findText(QStringLiteral("COM1"));
        const int i3 = combo->findText(QStringLiteral("COM3"));
        const int i12 = combo->findText(QStringLiteral("COM12"));
        QVERIFY(i1 >= 0 && i3 >= 0 && i12 >= 0);
        QCOMPARE(combo->currentIndex(), i3);
        QCOMPARE(w.channel()->portNum(), 3);
        QVERIFY(w.Panel1->checkedPortItem());
        QCOMPARE(w.Panel1->checkedPortItem()->property("tag").toInt(), 3);
        QCOMPARE(w.NPort->actions().size(), combo->count());

        // Menu item COM1: the list follows, the channel takes 1.
        QAction *item1 = nullptr;
        for (QAction *a : w.NPort->actions())
            if (a->property("tag").toInt() == 1)
                item1 = a;
        QVERIFY(item1);
        item1->trigger();
        QCOMPARE(combo->currentIndex(), i1);
        QCOMPARE(w.channel()->portNum(), 1);
        QVERIFY(item1->isChecked());

        // List entry COM12: port 12, not 1; its menu item is marked.
        combo->setCurrentIndex(i12);
        emit combo->activated(i12);
        QCOMPARE(w.channel()->portNum(), 12);
        QCOMPARE(w.Panel1->checkedPortItem()->text(), QStringLiteral("COM12"));

        // Speeds: the list and the menu agree with the channel.
        w.Panel1->ComboBaud->setCurrentIndex(3);
        emit w.Panel1->ComboBaud->activated(3);
        QVERIFY(w.N96001->isChecked());
        QCOMPARE(w.channel()->baudrate(), SerialChannel::br9600);
        w.N12001->trigger();
        QCOMPARE(w.Panel1->ComboBaud->currentText(), QStringLiteral("1200"));
        QVERIFY(w.N12001->isChecked() && !w.N96001->isChecked());
        QCOMPARE(w.channel()->baudrate(), SerialChannel::br1200);

        // Connecting with COM12 chosen opens port 12.
        w.ActionConnect->trigger();
        QVERIFY(m_messages.isEmpty());
        QVERIFY(w.channel()->isOpen());
        QCOMPARE(w.channel()->portNum(), 12);
        QCOMPARE(w.channel()->formattedDeviceName(), QStringLiteral("COM12"));
        w.ActionDisconnect->trigger();
    }

    void savedPortMissingFromList()
    {
        Pty com2;
        mapPort(2, com2.path);
        store().setValue(QStringLiteral("Port"), 77);
        FormMain w;
        QVERIFY(w.Panel1->ComboPort->findText(QStringLiteral("COM2")) >= 0);
        QCOMPARE(w.Panel1->ComboPort->currentIndex(), -1);
        QVERIFY(!w.Panel1->checkedPortItem());
        QCOMPARE(w.channel()->portNum(), 1);
    }

    // The port list and its menu from the system's names, or, without any, from the
    // ports 1..8 that open and take a byte.
    void portListBuild_data()
    {
        QTest::addColumn<QStringList>("system");
        QTest::addColumn<QList<int>>("openable");
        QTest::addColumn<int>("saved");
        QTest::addColumn<QStringList>("entries");
        QTest::addColumn<QList<int>>("menuTags");
        QTest::addColumn<QString>("selected");
        QTest::addColumn<int>("portNum");
        const QList<int> none;
        QTest::newRow("system list, saved port listed")
            << QStringList{"COM1", "COM3"} << none << 3 << QStringList{"COM1", "COM3"}
            << QList<int>{1, 3} << "COM3" << 3;
        QTest::newRow("a name without a number: listed, no menu item")
            << QStringList{"COM1", "PORTX", "COM4"} << none << 4
            << QStringList{"COM1", "PORTX", "COM4"} << QList<int>{1, 4} << "COM4" << 4;
        QTest::newRow("saved port not listed: nothing selected")
            << QStringList{"COM2"} << none << 7 << QStringList{"COM2"} << QList<int>{2} << "" << 1;
        QTest::newRow("no system list: probed ports")
            << QStringList{} << QList<int>{2, 5, 9} << 5 << QStringList{"Com2", "Com5"}
            << QList<int>{2, 5} << "Com5" << 5;
        QTest::newRow("no system list, nothing opens")
            << QStringList{} << none << 1 << QStringList{} << QList<int>{} << "" << 1;
    }
    void portListBuild()
    {
        QFETCH(QStringList, system);
        QFETCH(QList<int>, openable);
        QFETCH(int, saved);
        QFETCH(QStringList, entries);
        QFETCH(QList<int>, menuTags);
        QFETCH(QString, selected);
        QFETCH(int, portNum);
        LinkBar bar;
        QMenu portMenu, baudMenu;
        bar.attachMenus(&portMenu, &baudMenu);
        QList<int> probed;
        bar.buildPortList(system, saved, [&](int n) {
            probed.append(n);
            return openable.contains(n);
        });
        const QList<int> allEight = {1, 2, 3, 4, 5, 6, 7, 8};
        QCOMPARE(probed, system.isEmpty() ? allEight : QList<int>());
        QStringList shown;
        for (int i = 0; i < bar.ComboPort->count(); ++i)
            shown << bar.ComboPort->itemText(i);
        QCOMPARE(shown, entries);
        QList<int> tags;
        for (QAction *item : portMenu.actions()) {
            tags << item->property("tag").toInt();
            QVERIFY(entries.contains(item->text()));
        }
        QCOMPARE(tags, menuTags);
        QCOMPARE(bar.ComboPort->currentText(), selected);
        QCOMPARE(bar.selectedPortNumber(), portNum);
        QCOMPARE(bar.checkedPortItem() ? bar.checkedPortItem()->text() : QString(), selected);
    }

    void portTextWithoutNumber()
    {
        QCOMPARE(portNumberOf(QStringLiteral("Com7")).value_or(-1), 7);
        QCOMPARE(portNumberOf(QStringLiteral("COM12")).value_or(-1), 12);
        QVERIFY(!portNumberOf(QStringLiteral("COM")).has_value());
        QVERIFY(!portNumberOf(QStringLiteral("COMX")).has_value());

        Pty com6;
        mapPort(6, com6.path);
        store().setValue(QStringLiteral("Port"), 6);
        FormMain w;
        QSignalSpy chosen(w.Panel1, &LinkBar::portNumberChosen);
        QComboBox *combo = w.Panel1->ComboPort;
        combo->addItem(QStringLiteral("COMX"));
        combo->setCurrentIndex(combo->count() - 1);
        emit combo->activated(combo->count() - 1);
        // The default error report, once; the channel and the menu keep port 6.
        QCOMPARE(m_messages.size(), 1);
        QCOMPARE(m_messages.at(0).caption, FormMain::Title);
        QCOMPARE(m_messages.at(0).text, QStringLiteral("'X' не является целым числом"));
        QCOMPARE(chosen.count(), 0);
        QCOMPARE(w.channel()->portNum(), 6);
        QCOMPARE(w.Panel1->checkedPortItem()->property("tag").toInt(), 6);

        const int i6 = combo->findText(QStringLiteral("COM6"));
        combo->setCurrentIndex(i6);
        emit combo->activated(i6);
        QCOMPARE(chosen.count(), 1);
        QCOMPARE(chosen.at(0).at(0).toInt(), 6);
        QCOMPARE(m_messages.size(), 1);
    }

    void connectPollsAndDisconnects()
    {
        Pty com5;
        mapPort(5, com5.path);
        store().setValue(QStringLiteral("Port"), 5);
        FormMain w; // local mode: log on, messages only
        w.ActionConnect->trigger();
        QVERIFY(m_messages.isEmpty());
        QVERIFY(w.channel()->isOpen());
        QVERIFY(w.engine()->isConnected());
        QVERIFY(!w.ActionConnect->isEnabled() && w.ActionDisconnect->isEnabled());
        QVERIFY(!w.Panel1->ComboPort->isEnabled() && !w.Panel1->ComboBaud->isEnabled());
        QVERIFY(!w.NPort->menuAction()->isEnabled() && !w.NBaud->menuAction()->isEnabled());
        QVERIFY(w.TabSchedule->BtnReadSchedule->isEnabled() && w.TabSchedule->BtnWriteSchedule->isEnabled());
        QCOMPARE(w.statusText(1), QStringLiteral("DSR не установлен"));
        // Only the exchange count waits for the clock's tick; other texts show at once.
        QCOMPARE(w.findChild<QLabel *>(QStringLiteral("StatusPanel1"))->text(), QStringLiteral("DSR не установлен"));

        // Nobody answers on the line: the address byte goes out, the reply times out,
        // and the search becomes possible.
        w.Panel1->SpinTimer->setValue(200);
        QCOMPARE(w.engine()->timer2().interval(), 200);
        QTRY_VERIFY_WITH_TIMEOUT(w.TabSheet4->Memo_Terminal->toPlainText().contains(QStringLiteral("Timeout.")), 10000);
        QVERIFY(w.ActionFindAddress->isEnabled());
        QVERIFY(com5.readAll().contains(char(0x00)));
        QVERIFY(!w.statusText(0).isEmpty()); // sent frame count
        // The panel catches up with the count at the next second of the PC clock.
        auto *countPanel = w.findChild<QLabel *>(QStringLiteral("StatusPanel0"));
        QVERIFY(countPanel);
        QTRY_COMPARE_WITH_TIMEOUT(countPanel->text(), w.statusText(0), 2500);

        w.ActionFindAddress->trigger();
        QVERIFY(w.engine()->addressSearch());
        QTRY_VERIFY_WITH_TIMEOUT(w.Panel1->SpinAddr->value() > 0, 10000);

        w.ActionDisconnect->trigger();
        QVERIFY(m_messages.isEmpty());
        QVERIFY(!w.channel()->isOpen());
        QVERIFY(!w.engine()->isConnected());
        QVERIFY(w.ActionConnect->isEnabled() && !w.ActionDisconnect->isEnabled());
        QVERIFY(!w.ActionFindAddress->isEnabled() && !w.ActionSetting->isEnabled());
        QVERIFY(w.Panel1->ComboPort->isEnabled() && w.NPort->menuAction()->isEnabled());
        QVERIFY(!w.TabSchedule->BtnReadSchedule->isEnabled());
        QVERIFY(w.statusText(0).isEmpty() && w.statusText(1).isEmpty());
        QVERIFY(countPanel->text().isEmpty()); // cleared at once
        QVERIFY(w.engine()->queue().isEmpty());
    }

    void failedConnectChangesNothing()
    {
        auto com4 = std::make_unique<Pty>();
        mapPort(4, com4->path);
        store().setValue(QStringLiteral("Port"), 4);
        FormMain w;
        QCOMPARE(w.Panel1->ComboPort->currentText(), QStringLiteral("COM4"));
        com4.reset(); // the device goes away
        w.ActionConnect->trigger();
        QCOMPARE(m_messages.size(), 1);
        QCOMPARE(m_messages.at(0).caption, QStringLiteral("Ошибка"));
        QCOMPARE(m_messages.at(0).text, QStringLiteral("Ошибка открытия порта COM4"));
        QCOMPARE(m_messages.at(0).icon, QMessageBox::Critical);
        QVERIFY(!w.channel()->isOpen());
        QVERIFY(!w.engine()->isConnected());
        QVERIFY(w.ActionConnect->isEnabled() && !w.ActionDisconnect->isEnabled());
        QVERIFY(w.Panel1->ComboPort->isEnabled() && w.NBaud->menuAction()->isEnabled());
        QVERIFY(!w.TabSchedule->BtnReadSchedule->isEnabled());
        QVERIFY(!w.engine()->timerStart().isActive());
        // Closing sends nothing to a missing port and asks nothing.
        QVERIFY(w.close());
        QCOMPARE(m_messages.size(), 1);
    }

    void startUpErrorStillOpensWindow()
    {
        store().setValue(QStringLiteral("Port"), QStringLiteral("drei"));
        FormMain w;
        QCOMPARE(m_messages.size(), 1);
        QCOMPARE(m_messages.at(0).caption, FormMain::Title);
        QVERIFY(m_messages.at(0).text.contains(QStringLiteral("Port")));
        QVERIFY(w.ActionConnect->isEnabled());
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
    }

    void handlerErrorIsReportedOnce()
    {
        bool after = false;
        QTimer::singleShot(0, this, [] { throw SerialChannelError(QStringLiteral("Error writing dcb (5), I/O")); });
        QTimer::singleShot(0, this, [] { throw std::runtime_error("plain failure"); });
        QTimer::singleShot(10, this, [&after] { after = true; });
        QTRY_VERIFY(after); // the loop runs on after both errors
        QCOMPARE(m_messages.size(), 2);
        QCOMPARE(m_messages.at(0).text, QStringLiteral("Error writing dcb (5), I/O"));
        QCOMPARE(m_messages.at(0).caption, FormMain::Title);
        QCOMPARE(m_messages.at(1).text, QStringLiteral("plain failure"));
    }
};

int main(int argc, char **argv)
{
    QTemporaryDir config;
    qputenv("XDG_CONFIG_HOME", config.path().toLocal8Bit());
    Application app(argc, argv);
    QLocale::setDefault(QLocale(QLocale::Russian, QLocale::Russia));
    TestWindow test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_window.moc"
