#pragma once

#include <QTableView>

namespace morvex::ui {

// The file list's view: whole rows selected, and the grey hint in its centre
// while it is empty.
class FileListView : public QTableView {
    Q_OBJECT
public:
    explicit FileListView(QWidget* parent = nullptr);

    static QString emptyListText();

protected:
    void paintEvent(QPaintEvent* event) override;
};

} // namespace morvex::ui
