#include "ui/file_list_view.h"

#include <QHeaderView>
#include <QPainter>

namespace morvex::ui {

FileListView::FileListView(QWidget* parent) : QTableView(parent)
{
    setObjectName("fileList");
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setShowGrid(false);
    setWordWrap(false);
    setAlternatingRowColors(true);
    setContextMenuPolicy(Qt::CustomContextMenu);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    // Tab leaves the list for the output controls, as in any form; the
    // arrow keys move between rows.
    setTabKeyNavigation(false);
    verticalHeader()->hide();
    verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 6);
    horizontalHeader()->setSectionsClickable(true);
    horizontalHeader()->setSortIndicatorShown(true);
    horizontalHeader()->setHighlightSections(false);
    horizontalHeader()->setStretchLastSection(false);
    horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
}

QString FileListView::emptyListText()
{
    return QStringLiteral("Click the \"%1\" button to add model files to the list").arg("Add File(s)");
}

void FileListView::paintEvent(QPaintEvent* event)
{
    QTableView::paintEvent(event);
    if (model() == nullptr || model()->rowCount() > 0)
        return;
    QPainter painter(viewport());
    painter.setPen(palette().color(QPalette::Disabled, QPalette::Text));
    painter.drawText(viewport()->rect().adjusted(12, 12, -12, -12), Qt::AlignCenter | Qt::TextWordWrap,
                     emptyListText());
}

} // namespace morvex::ui
