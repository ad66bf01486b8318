#pragma once
// The link bar (Panel1): port, speed, meter address and reply timeout, and the
// agreement between the port and speed lists and their menus.

#include <QFrame>
#include <QStringList>
#include <functional>
#include <optional>

class QAction;
class QActionGroup;
class QComboBox;
class QMenu;
class QSpinBox;

namespace zk {

// Port number of a port list entry: every character after the first three
// ("COM3" -> 3, "Com12" -> 12); nullopt when they do not form a whole number.
std::optional<int> portNumberOf(const QString &entry);
// The error text for an entry without a port number.
QString portNumberErrorText(const QString &entry);

class LinkBar : public QFrame
{
    Q_OBJECT
public:
    static constexpr int StartBaudIndex = 2; // "4800"
    static const QStringList BaudTexts;      // "1200", "2400", "4800", "9600"

    explicit LinkBar(QWidget *parent = nullptr);

    // The menus "&Порт" (filled by buildPortList) and "&Скорость" (its four
    // radio items carry the tags 0..3 in the property "tag").
    void attachMenus(QMenu *portMenu, QMenu *baudMenu);

    // Opens a port, writes one byte and closes it again; true when all went well.
    using PortProbe = std::function<bool(int portNum)>;
    // Fills ComboPort and the port menu from the system's list of port names,
    // marking and selecting the saved port. When the list is empty, the ports 1..8
    // that pass the probe are listed instead, as "Com1" .. "Com8".
    void buildPortList(const QStringList &systemNames, int savedPort, const PortProbe &probe);
    // Port number of the text shown in ComboPort; 1 when none is selected or the
    // text holds no number.
    int selectedPortNumber() const;
    QAction *checkedPortItem() const;

    // The speed list and menu show `index`.
    void selectBaud(int index);
    // ComboPort, the port menu, ComboBaud and the speed menu.
    void setPortControlsEnabled(bool enabled);
    void setTint(const QColor &colour);

    QComboBox *ComboPort;
    QComboBox *ComboBaud;
    QSpinBox *SpinAddr;
    QSpinBox *SpinTimer;

signals:
    // The operator chose a port (list or menu): the channel takes this number.
    void portNumberChosen(int portNum);
    // The operator chose a speed (list or menu): index 0..3.
    void baudIndexChosen(int index);
    // The operator chose a list entry without a port number: the error for the
    // application's error report. The channel keeps its port.
    void portTextRejected(const QString &errorText);

private:
    QAction *addPortItem(const QString &caption, int portNum);
    void markPortItem(int portNum);
    void comboPortActivated(int index);
    void portItemTriggered(QAction *item);
    void comboBaudActivated(int index);
    void baudItemTriggered(QAction *item);

    QMenu *m_portMenu = nullptr;
    QMenu *m_baudMenu = nullptr;
    QActionGroup *m_portGroup;
};

} // namespace zk
