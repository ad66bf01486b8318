#pragma once

// The help window: the help document, formatted, in a read-only box above a
// panel with the "Выход" button. It is created once at program start, loads
// the document then, and is shown modally from the menu "&?".

#include <QDialog>
#include <QStringList>

class QPushButton;
class QTextEdit;
class QWidget;

namespace zk {

class FormHelp : public QDialog
{
    Q_OBJECT
public:
    explicit FormHelp(QWidget *parent = nullptr);

    // File name of the help document.
    static QString documentName();
    // Folders searched for the document, in order: the working directory,
    // the folder of the executable (each named once), then ../share/zelta-kn
    // beside that folder, where the package installs it.
    static QStringList searchFolders();

    // Loads the document from the first folder of searchFolders() that holds
    // it. On failure RichEdit1 is left empty, *error (when given) receives
    // the text to report, and the result is false.
    bool load(QString *error = nullptr);
    // The same with the given folders.
    bool loadFrom(const QStringList &folders, QString *error = nullptr);
    // Loads the given file.
    bool loadFile(const QString &path, QString *error = nullptr);

    // Full path of the document shown, empty when none is loaded.
    QString documentPath() const { return documentPath_; }

    QTextEdit *RichEdit1 = nullptr;
    QWidget *Panel1 = nullptr;
    QPushButton *Button1 = nullptr;

protected:
    void showEvent(QShowEvent *event) override;

private:
    void Button1Click();

    QString documentPath_;
};

} // namespace zk
