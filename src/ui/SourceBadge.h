#pragma once

#include "models/Source.h"

#include <QAbstractButton>

// The current source's icon over the cover's corner; a press opens the source menu.
class SourceBadge : public QAbstractButton
{
    Q_OBJECT
public:
    explicit SourceBadge(QWidget *parent = nullptr);

    void setSource(const Source &source);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    Source m_source;
};
