#include "app/formhelp.h"

#include "app/rtfreader.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QPushButton>
#include <QTextEdit>
#include <QVBoxLayout>

namespace zk {

FormHelp::FormHelp(QWidget *parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("FormHelp"));
    setWindowTitle(QStringLiteral("Справка"));
    // Only the system menu and the close box: no minimize or maximize box.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint
                   | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    setModal(true);
    resize(640, 480);

    RichEdit1 = new QTextEdit(this);
    RichEdit1->setObjectName(QStringLiteral("RichEdit1"));
    RichEdit1->setReadOnly(true);
    RichEdit1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    RichEdit1->setTextInteractionFlags(Qt::TextSelectableByMouse);

    Panel1 = new QWidget(this);
    Panel1->setObjectName(QStringLiteral("Panel1"));
    Panel1->setFixedHeight(37);

    Button1 = new QPushButton(QStringLiteral("Выход"), Panel1);
    Button1->setObjectName(QStringLiteral("Button1"));
    Button1->setAutoDefault(false);
    connect(Button1, &QPushButton::clicked, this, &FormHelp::Button1Click);

    auto *panelLayout = new QHBoxLayout(Panel1);
    panelLayout->setContentsMargins(6, 6, 6, 6);
    panelLayout->addStretch(1);
    panelLayout->addWidget(Button1);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(RichEdit1, 1);
    layout->addWidget(Panel1);
    // Esc is the cancel key of the dialog: it closes the window as Button1 does.
}

QString FormHelp::documentName()
{
    return QStringLiteral("Help_zelta_kn.rtf");
}

QStringList FormHelp::searchFolders()
{
    QStringList folders;
    folders << QDir::currentPath();
    const QString appDir = QCoreApplication::applicationDirPath();
    if (!appDir.isEmpty()
        && QFileInfo(appDir).canonicalFilePath() != QFileInfo(folders.first()).canonicalFilePath())
        folders << appDir;
    // Installed: <prefix>/bin/zelta-kn finds the document in <prefix>/share/zelta-kn.
    if (!appDir.isEmpty())
        folders << QDir::cleanPath(appDir + QStringLiteral("/../share/zelta-kn"));
    return folders;
}

bool FormHelp::load(QString *error)
{
    return loadFrom(searchFolders(), error);
}

bool FormHelp::loadFrom(const QStringList &folders, QString *error)
{
    for (const QString &folder : folders) {
        const QString path = QDir(folder).filePath(documentName());
        if (QFileInfo(path).isFile())
            return loadFile(path, error);
    }
    RichEdit1->clear();
    documentPath_.clear();
    if (error) {
        *error = QStringLiteral("Файл справки \"%1\" не найден.\nПапки поиска:\n%2")
                     .arg(documentName(), folders.join(QLatin1Char('\n')));
    }
    return false;
}

bool FormHelp::loadFile(const QString &path, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        RichEdit1->clear();
        documentPath_.clear();
        if (error) {
            *error = QStringLiteral("Не удалось прочитать файл справки \"%1\": %2")
                         .arg(QDir::toNativeSeparators(path), file.errorString());
        }
        return false;
    }
    const QByteArray bytes = file.readAll();
    // A document that is not RTF is shown as plain text, as a rich-text box would.
    RtfReader::read(bytes, RichEdit1->document());
    RichEdit1->moveCursor(QTextCursor::Start);
    documentPath_ = QFileInfo(path).absoluteFilePath();
    return true;
}

void FormHelp::showEvent(QShowEvent *event)
{
    QDialog::showEvent(event);
    if (QWidget *owner = parentWidget()) {
        const QRect area = owner->window()->frameGeometry();
        QRect frame = frameGeometry();
        frame.moveCenter(area.center());
        move(frame.topLeft());
    }
}

void FormHelp::Button1Click()
{
    reject();
}

} // namespace zk
