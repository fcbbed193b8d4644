#pragma once
// On/off switch of the panels. A mouse press flips `status` and emits pressed(status)
// twice; setStatus emits once. Owners set the colour attributes, then call updateStyle.
#include <QPushButton>
#include <QString>

class QGraphicsDropShadowEffect;

class Button : public QPushButton
{
    Q_OBJECT

public:
    explicit Button(const QString& text = QString(), QWidget* parent = nullptr);
    ~Button() override;

    void updateStyle();
    void setStatus(bool on);
    bool isOn() const { return status; }
    QGraphicsDropShadowEffect* glowEffect() const { return glow; }

    int borderRadius = 3;
    QString checkedTextColor{"#000000"};
    QString uncheckedTextColor{"#00ff7f"};
    QString glowColor{"#00ff7f"};
    QString checkedBackgroundColor{"#00ff7f"};
    QString uncheckedBackgroundColor{"#1b1e23"};
    bool status = false;

signals:
    void pressed(bool status);

protected:
    void mousePressEvent(QMouseEvent* event) override;

private:
    // Stores the status, matches the glow and style to it and tells assistive technology.
    void applyStatus(bool on);

    QGraphicsDropShadowEffect* glow = nullptr;
};
