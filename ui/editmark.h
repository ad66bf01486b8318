#pragma once
// The edited mark: a control changed by the operator since the last display reset
// carries the mark, and values read from the meter leave such a control alone.
// The mark is a dynamic property on the control itself.

class QWidget;

namespace zk {

void setEdited(QWidget *control, bool edited = true);
bool isEdited(const QWidget *control);
// Clears the mark of `root` and of every control inside it.
void clearEdited(QWidget *root);
// Sets the mark whenever the control reports a change: value changes of spin boxes,
// date and time pickers, line edits and combo boxes, clicks of buttons and check
// boxes. Programmatic value changes raise the mark too; a reader that fills a
// control resets it afterwards.
void markOnChange(QWidget *control);

// Puts a value read from the meter into `control` unless the operator has marked it.
// Filling raises the control's own change event, which marks it, so the mark is
// cleared afterwards. True when the control was filled.
template<typename Fill>
bool fillUnmarked(QWidget *control, Fill fill)
{
    if (isEdited(control))
        return false;
    fill();
    setEdited(control, false);
    return true;
}

} // namespace zk
