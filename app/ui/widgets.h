// Small widgets the panel and the settings are made of.
#pragma once

#include "app/ui/style.h"

#include <QAbstractButton>
#include <QFrame>
#include <QLabel>
#include <QTimer>
#include <QToolButton>
#include <QWidget>

#include <functional>

class QButtonGroup;

namespace nimbrel::ui {

// A one-pixel rule, optionally starting `indent` pixels in from the leading edge.
class Divider : public QWidget
{
public:
    explicit Divider(int indent = 0, QWidget *parent = nullptr);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    int indent_;
};

// A rounded rectangle behind other widgets, in a colour taken from the palette when drawn (so
// it follows a change of appearance).
class RoundedGround : public QWidget
{
public:
    RoundedGround(double radius, std::function<QColor(const QPalette &)> fill,
                  QWidget *parent = nullptr);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    double radius_;
    std::function<QColor(const QPalette &)> fill_;
};

// A text on one line that is cut with "…" by the space it gets, never widening its parent.
class ElidedLabel : public QWidget
{
public:
    explicit ElidedLabel(QWidget *parent = nullptr);
    void setText(const QString &text);
    const QString &text() const { return text_; }
    void setColor(const QColor &color);
    void setAlignment(Qt::Alignment alignment) { alignment_ = alignment; }
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QString text_;
    QColor color_;
    Qt::Alignment alignment_ = Qt::AlignLeft | Qt::AlignVCenter;
};

// A filled circle: the status of an app.
class StatusDot : public QWidget
{
public:
    explicit StatusDot(QWidget *parent = nullptr);
    void setColor(const QColor &color);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QColor color_;
};

// A small turning arc: a command in flight.
class Spinner : public QWidget
{
public:
    explicit Spinner(QWidget *parent = nullptr);

protected:
    void paintEvent(QPaintEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    QTimer timer_;
    int angle_ = 0;
};

// A borderless button showing one of our symbols.
class SymbolButton : public QToolButton
{
public:
    SymbolButton(int symbolSize, QSize frame, QWidget *parent = nullptr);
    // Changes the symbol and its tone; unchanged values cost nothing.
    void setSymbol(const QString &name, Tone tone = Tone::secondary);

protected:
    void changeEvent(QEvent *event) override;

private:
    void repaintSymbol();
    int symbolSize_;
    QString name_;
    Tone tone_ = Tone::secondary;
};

// A symbol as a label, tinted.
class SymbolLabel : public QLabel
{
public:
    SymbolLabel(int size, QWidget *parent = nullptr);
    void setSymbol(const QString &name, const QColor &color);

private:
    int size_;
    QString name_;
    QColor color_;
};

// Two or more exclusive segments in one frame.
class SegmentedControl : public QFrame
{
    Q_OBJECT

public:
    SegmentedControl(const QStringList &segments, QWidget *parent = nullptr);
    int current() const;
    void setCurrent(int index);

signals:
    void activated(int index);

private:
    QButtonGroup *group_;
};

// An on/off switch.
class ToggleSwitch : public QAbstractButton
{
public:
    explicit ToggleSwitch(QWidget *parent = nullptr);
    QSize sizeHint() const override { return {38, 22}; }

protected:
    void paintEvent(QPaintEvent *event) override;
};

} // namespace nimbrel::ui
