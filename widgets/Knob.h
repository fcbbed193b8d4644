#pragma once
// Self-painted rotary dial. Every change of the value, also by setValue and also when
// the value did not move, is announced with valueChangedSig. Owners set the public
// attributes after construction and before the knob is first shown.
#include <QColor>
#include <QRect>
#include <QString>
#include <QWidget>

class QLineEdit;

class Knob : public QWidget
{
    Q_OBJECT

public:
    explicit Knob(QWidget* parent = nullptr);
    ~Knob() override;

    void setValue(int v);

    int value = -80;
    int arcWidth = 7;
    bool roundCap = true;
    int maximum = 6;
    int minimum = -80;
    QColor arcColor{"#00ffff"};
    bool showText = true;
    QString fontFamily{"Segoe UI"};
    int fontSize = 12;
    QString suffix{"dB"};
    QColor textColor{"#ff79c6"};
    bool showTrack = true;
    QColor trackColor{"#44475a"};
    double knobRatio = 0.8;

    int displayOffset = 0;

    // Where the value text was last drawn (widget coordinates); empty before the first paint.
    QRect textRectangle() const { return textRect; }
    QLineEdit* valueEditor() const { return editor; }
    // The number shown for v: v + displayOffset, except that a value of 0 shows 0.
    qint64 numberShownFor(int v) const;
    // The shown number followed by the suffix, as painted.
    QString shownText() const;

signals:
    void valueChangedSig(int value);

private slots:
    void finishEdit();

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    void openEditor();
    qint64 clamped(qint64 v) const;
    // Clamps and stores v, then announces the value and schedules a repaint.
    void store(qint64 v);

    int lastDragY = 0;
    int lastDragX = 0;
    QLineEdit* editor = nullptr;
    QRect textRect;
};
