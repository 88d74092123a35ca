#pragma once

#include "app/conversion_status.h"

#include <QAbstractTableModel>
#include <QIcon>
#include <QString>

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

namespace morvex::ui {

// One file that was added: what it is and how its conversion went.
struct FileRow {
    std::string path; // the row's identity, compared exactly
    QString name;     // file name without its extension
    QString format;
    QString size;
    QString folder;
    QString statusShown;    // as of the last refresh
    QString keptStatusText; // the reason shown for "cannot be converted"
    std::uint32_t flags = 0;
};

// The file list's rows, in six columns. Texts of the status column change
// only when refresh() runs, so that many status changes cost one update.
class FileListModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column { FileColumn, FormatColumn, SizeColumn, FolderColumn, StatusColumn, PathColumn, ColumnCount };

    explicit FileListModel(QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

    // -1 when no row has exactly this path.
    int findRow(const std::string& path) const;
    const FileRow& row(int index) const { return rows_[static_cast<std::size_t>(index)]; }
    const std::vector<FileRow>& rows() const { return rows_; }

    // The row of a file of this size as it is first listed ("Recently
    // added."). Touches no model: rows of many files are made on the thread
    // that looked at them.
    static FileRow makeRow(const std::string& path, std::uint64_t bytes);
    // Appends a row of an existing file; false for a duplicate.
    bool appendFile(const std::string& path, std::uint64_t bytes);
    // Appends the rows whose paths are not listed yet, in their order, in
    // one insertion; a path given twice is added once. The paths added.
    std::vector<std::string> appendRows(std::vector<FileRow> rows);
    // Rows in ascending order of index.
    void removeRows(const std::vector<int>& sortedRows);
    void clear();

    ConversionStatus status(int index) const;
    // Replaces the status bits; the text follows at the next refresh.
    void setStatus(int index, ConversionStatus status);
    // The row cannot be converted, with the reason shown for it.
    void markNotConvertible(int index, const QString& reason);

    // Status texts and icons from the flags, except the kept reasons.
    void refresh();

    // Stable sort by the texts of a column, compared logically.
    void sortBy(int column, bool ascending);

signals:
    // Any change that the refresh timer should pick up.
    void changed();

private:
    void reindex();
    QString columnText(const FileRow& row, int column) const;

    std::vector<FileRow> rows_;
    std::unordered_map<std::string, int> rowOfPath_;
    QIcon stateIcons_[4];
};

} // namespace morvex::ui
