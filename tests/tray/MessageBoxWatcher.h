#pragma once
// Closes every message box that appears while it runs and records what the box showed,
// so a test can both check a warning and never hang on a modal box it did not expect.
#include <QApplication>
#include <QList>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

struct SeenMessageBox
{
    QString title;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QMessageBox::StandardButtons buttons;
    int buttonCount = 0;
    bool modal = false;
    bool hasParent = false;
};

class MessageBoxWatcher
{
public:
    MessageBoxWatcher()
    {
        timer.setInterval(20);
        QObject::connect(&timer, &QTimer::timeout, [this] { closeVisibleBoxes(); });
        timer.start();
    }

    const QList<SeenMessageBox>& seen() const { return boxes; }

private:
    void closeVisibleBoxes()
    {
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            auto* box = qobject_cast<QMessageBox*>(widget);
            if (!box || !box->isVisible())
                continue;
            SeenMessageBox record;
            record.title = box->windowTitle();
            record.text = box->text();
            record.icon = box->icon();
            record.buttons = box->standardButtons();
            record.buttonCount = box->buttons().size();
            record.modal = box->isModal();
            record.hasParent = box->parentWidget() != nullptr;
            boxes.append(record);
            if (QAbstractButton* ok = box->button(QMessageBox::Ok))
                ok->click();
            else
                box->reject();
        }
    }

    QTimer timer;
    QList<SeenMessageBox> boxes;
};
