#include "panels/PanelBase.h"

#include "storage/IniFile.h"
#include "widgets/Button.h"
#include "widgets/Knob.h"

#include <QFrame>
#include <QLabel>
#include <QSettings>
#include <QTimer>

#include <algorithm>
#include <iterator>

PanelBase::PanelBase(const QString& modelName)
    : QWidget(nullptr), device(std::make_unique<AudioBusDevice>()), model(modelName)
{}

void PanelBase::addControl(const QString& key, const QString& alias, Knob* knob)
{
    controlList.push_back({key, alias, knob, nullptr});
}

void PanelBase::addControl(const QString& key, const QString& alias, Button* button)
{
    controlList.push_back({key, alias, nullptr, button});
}

PanelBase::~PanelBase()
{
    // The handle goes first, then the store; the widgets and the timer follow with
    // the QWidget base.
    device.reset();
    delete settingsStore;
}

QString PanelBase::levelText(double db)
{
    // QString::number writes minus infinity as "-inf", which is what silence shows.
    return QString::number(db, 'f', 1) + QStringLiteral(" dB");
}

std::int32_t PanelBase::meanWord(std::int32_t a, std::int32_t b)
{
    return static_cast<std::int32_t>((static_cast<std::int64_t>(a) + b) / 2);
}

int PanelBase::outputLevel(int knobValue, bool muted, bool dimmed)
{
    return muted ? -80 : dimmed ? knobValue - 20 : knobValue;
}

void PanelBase::openSettingsStore(const QString& fileName)
{
    settingsStore = openIniStore(fileName, this);
}

int PanelBase::readInt(const QString& key, int fallback) const
{
    // QString refuses numbers beyond 32 bits, which QVariant::toInt would wrap.
    bool ok = false;
    const int value = settingsStore->value(key).toString().toInt(&ok);
    return ok ? value : fallback;
}

bool PanelBase::readBool(const QString& key) const
{
    const QString text = settingsStore->value(key).toString().trimmed().toLower();
    return text == QLatin1String("true") || text == QLatin1String("1") ||
           text == QLatin1String("on") || text == QLatin1String("yes");
}

bool PanelBase::store(const QString& key, const QVariant& value)
{
    settingsStore->setValue(key, value);
    return syncStore();
}

bool PanelBase::syncStore()
{
    return syncIniStore(settingsStore);
}

void PanelBase::writeMatrixPreset()
{
    std::fill(std::begin(matrix.grid), std::end(matrix.grid), 0.0);
    std::fill(std::begin(matrix.outputGain), std::end(matrix.outputGain), 1.0);
    std::fill(std::begin(matrix.secondTail), std::end(matrix.secondTail), 1.0);
    std::fill(std::begin(matrix.thirdTail), std::end(matrix.thirdTail), 1.0);
    for (int i = 0; i < 8; ++i) {
        matrix.cell(4 + i, i) = 1.0;
        matrix.cell(160 + i, i) = 1.0;
    }
    matrix.cell(96, 0) = 1.0;
    matrix.cell(97, 1) = 1.0;
    matrix.cell(128, 0) = 1.0;
    matrix.cell(129, 1) = 1.0;
    matrix.cell(130, 0) = 1.0;
    matrix.cell(131, 1) = 1.0;
}

void PanelBase::startMeterTimer(std::function<void()> update)
{
    meterTimer = new QTimer(this);
    connect(meterTimer, &QTimer::timeout, this, std::move(update));
    meterTimer->start(MeterIntervalMs);
}

Knob* PanelBase::makeKnob(const QRect& initial, const QSize& fixed, int minimum, int maximum,
                          int value)
{
    auto* knob = new Knob(this);
    knob->setGeometry(initial);
    knob->setFixedSize(fixed);
    knob->minimum = minimum;
    knob->maximum = maximum;
    knob->value = value;
    knob->textColor = QColor("#00ff7f");
    return knob;
}

Button* PanelBase::makeButton(const QString& caption, const char* colour)
{
    // Created without a parent and adopted afterwards, as every panel button is.
    auto* button = new Button(caption);
    button->setParent(this);
    button->checkedTextColor = QString::fromLatin1(colour);
    button->glowColor = QString::fromLatin1(colour);
    button->uncheckedTextColor = QStringLiteral("#8a95aa");
    button->borderRadius = 3;
    button->checkedBackgroundColor = QStringLiteral("#1b1e23");
    button->uncheckedBackgroundColor = QStringLiteral("#1b1e23");
    button->setMinimumWidth(80);
    button->setMaximumWidth(80);
    button->updateStyle();
    return button;
}

QLabel* PanelBase::makeLabel(const QString& text, const char* style)
{
    auto* label = new QLabel(text, this);
    label->setAlignment(Qt::AlignCenter);
    label->setStyleSheet(QString::fromLatin1(style));
    return label;
}

QFrame* PanelBase::makeSeparator()
{
    auto* separator = new QFrame(this);
    separator->setFrameShape(QFrame::VLine);
    separator->setFrameShadow(QFrame::Sunken);
    separator->setFixedWidth(1);
    separator->setStyleSheet(QStringLiteral("background-color: #555555;"));
    return separator;
}
