// quorvix-gallery [outdir]: renders the panels' knobs and buttons in characteristic states
// to PNG files (one per sample plus the combined sheet "gallery.png"), on the panels'
// background, so their look can be reviewed without a device. Works offscreen.
#include "widgets/Button.h"
#include "widgets/Knob.h"

#include <QApplication>
#include <QDir>
#include <QGridLayout>
#include <QLabel>
#include <QPixmap>
#include <QTextStream>
#include <QVBoxLayout>
#include <functional>
#include <memory>

namespace {

const QColor kPanelBackground{"#2c313c"};
// Leaves room around each sample for the buttons' glow.
constexpr int kMargin = 14;
constexpr int kSheetColumns = 4;

struct Sample
{
    QString file;
    QString caption;
    std::function<QWidget*()> make;
};

Knob* knob(int size, int minimum, int maximum, int value)
{
    auto* k = new Knob;
    k->setFixedSize(size, size);
    k->minimum = minimum;
    k->maximum = maximum;
    k->value = value;
    k->textColor = QColor("#00ff7f");
    return k;
}

Knob* volumeKnob(int value)
{
    return knob(120, -80, 6, value);
}

Knob* gainKnob(int value)
{
    Knob* k = knob(120, 0, 56, value);
    k->arcColor = QColor("#f1fa8c");
    k->displayOffset = 9;
    return k;
}

Knob* knobWithoutText()
{
    Knob* k = volumeKnob(-20);
    k->showText = false;
    return k;
}

Knob* phoneKnob(int value)
{
    Knob* k = knob(70, -80, 6, value);
    k->arcWidth = 3;
    k->fontSize = 10;
    return k;
}

Button* phantomButton(bool on)
{
    auto* b = new Button("48V");
    b->uncheckedTextColor = "#8a95aa";
    b->checkedBackgroundColor = "#1b1e23";
    b->uncheckedBackgroundColor = "#1b1e23";
    b->checkedTextColor = "#ff1111";
    b->glowColor = "#ff1111";
    b->setMinimumWidth(80);
    b->setMaximumWidth(80);
    b->setStatus(on);
    return b;
}

Button* defaultButton(bool on)
{
    auto* b = new Button("MUTE");
    b->setMinimumWidth(80);
    b->setMaximumWidth(80);
    b->setStatus(on);
    return b;
}

// The sample on the panels' background, optionally captioned below.
QWidget* framed(QWidget* content, const QString& caption)
{
    auto* frame = new QWidget;
    frame->setAutoFillBackground(true);
    QPalette palette = frame->palette();
    palette.setColor(QPalette::Window, kPanelBackground);
    palette.setColor(QPalette::WindowText, Qt::white);
    frame->setPalette(palette);
    auto* layout = new QVBoxLayout(frame);
    layout->setContentsMargins(kMargin, kMargin, kMargin, kMargin);
    layout->addWidget(content, 0, Qt::AlignCenter);
    if (!caption.isEmpty())
        layout->addWidget(new QLabel(caption), 0, Qt::AlignCenter);
    return frame;
}

bool save(QWidget* widget, const QString& path)
{
    widget->adjustSize();
    widget->ensurePolished();
    const bool ok = widget->grab().save(path);
    QTextStream(ok ? stdout : stderr) << (ok ? "wrote " : "cannot write ") << path << '\n';
    return ok;
}

} // namespace

int main(int argc, char** argv)
{
    // Nothing is shown on screen, so no display is needed.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const QString outDir = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral(".");
    if (!QDir().mkpath(outDir)) {
        QTextStream(stderr) << "cannot create " << outDir << '\n';
        return 1;
    }

    const QList<Sample> knobs{
        {"knob-min.png", "-80 dB", [] { return volumeKnob(-80); }},
        {"knob-mid.png", "-37 dB", [] { return volumeKnob(-37); }},
        {"knob-max.png", "6 dB", [] { return volumeKnob(6); }},
        {"knob-gain-0.png", "gain 0, offset 9", [] { return gainKnob(0); }},
        {"knob-gain-30.png", "gain 30, offset 9", [] { return gainKnob(30); }},
        {"knob-no-text.png", "text hidden", [] { return knobWithoutText(); }},
        {"knob-phone.png", "phone 70x70", [] { return phoneKnob(-20); }},
    };
    const QList<Sample> buttons{
        {"button-48v-off.png", "48V off", [] { return phantomButton(false); }},
        {"button-48v-on.png", "48V on", [] { return phantomButton(true); }},
        {"button-default-off.png", "default off", [] { return defaultButton(false); }},
        {"button-default-on.png", "default on", [] { return defaultButton(true); }},
    };

    bool ok = true;
    auto* sheet = new QWidget;
    auto* grid = new QGridLayout(sheet);
    grid->setSpacing(0);
    grid->setContentsMargins(0, 0, 0, 0);
    int row = 0;
    for (const QList<Sample>& group : {knobs, buttons}) {
        for (int i = 0; i < group.size(); ++i) {
            std::unique_ptr<QWidget> single(framed(group[i].make(), QString()));
            ok = save(single.get(), outDir + '/' + group[i].file) && ok;
            grid->addWidget(framed(group[i].make(), group[i].caption), row + i / kSheetColumns,
                            i % kSheetColumns);
        }
        row += (group.size() + kSheetColumns - 1) / kSheetColumns;
    }
    std::unique_ptr<QWidget> sheetOwner(framed(sheet, QString()));
    ok = save(sheetOwner.get(), outDir + "/gallery.png") && ok;
    return ok ? 0 : 1;
}
