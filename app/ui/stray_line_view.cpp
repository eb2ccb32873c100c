#include "app/ui/stray_line_view.h"

#include "app/ui/elided_label.h"
#include "app/ui/style.h"
#include "app/ui/symbol_button.h"
#include "app/ui/texts.h"
#include "core/panel_geometry.h"

#include <QEvent>
#include <QHBoxLayout>

#include <algorithm>

namespace nimbrel::ui {

StrayLineView::StrayLineView(QWidget *parent)
    : QWidget(parent), text_(new ElidedLabel(this)), end_(new SymbolButton(10, {20, 18}, this))
{
    setFixedHeight(int(PanelGeometry::breakdownLineHeight));
    text_->setObjectName(QStringLiteral("strays"));
    end_->setObjectName(QStringLiteral("endStrays"));
    text_->setFont(fontOf(11));
    text_->setColor(pinOrange());
    end_->setSymbol(QStringLiteral("xmark.circle.fill"));
    end_->setToolTip(texts::endStraysHelp);
    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(34, 0, 16, 0);
    layout->setSpacing(8);
    layout->addWidget(text_, 1);
    layout->addWidget(end_);
    connect(end_, &QToolButton::clicked, this, [this] { emit endRequested(name_); });
    hide();
}

void StrayLineView::setStrays(const QString &name, const QList<Strays::Stray> &strays)
{
    name_ = name;
    count_ = strays.size();
    text_->setText(text(strays));
}

QString StrayLineView::text(const QList<Strays::Stray> &strays)
{
    QList<int64_t> ports;
    for (const Strays::Stray &stray : strays)
        ports += stray.ports;
    std::ranges::sort(ports);
    ports.erase(std::unique(ports.begin(), ports.end()), ports.end());
    QString line = texts::strays + QString::number(strays.size());
    if (!ports.isEmpty()) {
        QStringList numbers;
        for (const int64_t port : std::as_const(ports))
            numbers.append(QString::number(port));
        line += QChar(0x3000) + texts::port + numbers.join(QStringLiteral(", "));
    }
    return line;
}

void StrayLineView::changeEvent(QEvent *event)
{
    QWidget::changeEvent(event);
    if (event->type() == QEvent::PaletteChange)
        text_->setColor(pinOrange());
}

} // namespace nimbrel::ui
