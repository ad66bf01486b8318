#include "ui/editmark.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QDateTimeEdit>
#include <QDoubleSpinBox>
#include <QLineEdit>
#include <QSpinBox>
#include <QVariant>
#include <QWidget>

namespace zk {

namespace {
constexpr char MarkProperty[] = "zkEdited";
}

void setEdited(QWidget *control, bool edited)
{
    if (control)
        control->setProperty(MarkProperty, edited);
}

bool isEdited(const QWidget *control)
{
    return control && control->property(MarkProperty).toBool();
}

void clearEdited(QWidget *root)
{
    if (!root)
        return;
    setEdited(root, false);
    const auto children = root->findChildren<QWidget *>();
    for (QWidget *child : children) {
        if (child->property(MarkProperty).isValid())
            setEdited(child, false);
    }
}

void markOnChange(QWidget *control)
{
    auto mark = [control] { setEdited(control, true); };
    if (auto *spin = qobject_cast<QSpinBox *>(control))
        QObject::connect(spin, &QSpinBox::valueChanged, spin, mark);
    else if (auto *dspin = qobject_cast<QDoubleSpinBox *>(control))
        QObject::connect(dspin, &QDoubleSpinBox::valueChanged, dspin, mark);
    else if (auto *picker = qobject_cast<QDateTimeEdit *>(control))
        QObject::connect(picker, &QDateTimeEdit::dateTimeChanged, picker, mark);
    else if (auto *button = qobject_cast<QAbstractButton *>(control))
        QObject::connect(button, &QAbstractButton::clicked, button, mark);
    else if (auto *edit = qobject_cast<QLineEdit *>(control))
        QObject::connect(edit, &QLineEdit::textChanged, edit, mark);
    else if (auto *combo = qobject_cast<QComboBox *>(control))
        QObject::connect(combo, &QComboBox::currentIndexChanged, combo, mark);
    setEdited(control, false);
}

} // namespace zk
