#include "ui/file_list_model.h"
#include "ui/qt_text.h"

#include "app/file_list_rows.h"
#include "app/input_formats.h"
#include "support/text/text.h"

#include <QApplication>
#include <QStyle>

#include <algorithm>
#include <filesystem>
#include <numeric>

namespace morvex::ui {
namespace {

constexpr std::uint32_t StatusBits = 0x0F;

const char* const ColumnHeaders[] = {"File", "Format", "Size (MB)", "Folder", "Status", "szFilePath"};

} // namespace

FileListModel::FileListModel(QObject* parent) : QAbstractTableModel(parent)
{
    QStyle* style = QApplication::style();
    stateIcons_[0] = style->standardIcon(QStyle::SP_FileIcon);
    stateIcons_[1] = style->standardIcon(QStyle::SP_BrowserReload);
    stateIcons_[2] = style->standardIcon(QStyle::SP_DialogApplyButton);
    stateIcons_[3] = style->standardIcon(QStyle::SP_MessageBoxWarning);
}

int FileListModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int FileListModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QString FileListModel::columnText(const FileRow& row, int column) const
{
    switch (column) {
    case FileColumn: return row.name;
    case FormatColumn: return row.format;
    case SizeColumn: return row.size;
    case FolderColumn: return row.folder;
    case StatusColumn: return row.statusShown;
    case PathColumn: return qtText(row.path);
    default: return {};
    }
}

QVariant FileListModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() >= rowCount())
        return {};
    const FileRow& fileRow = rows_[static_cast<std::size_t>(index.row())];
    switch (role) {
    case Qt::DisplayRole:
    case Qt::ToolTipRole: return columnText(fileRow, index.column());
    case Qt::DecorationRole:
        if (index.column() == FileColumn)
            return stateIcons_[stateIconIndex(fileRow.flags)];
        return {};
    case Qt::TextAlignmentRole:
        if (index.column() == FormatColumn || index.column() == SizeColumn)
            return QVariant::fromValue(Qt::Alignment(Qt::AlignCenter));
        return QVariant::fromValue(Qt::Alignment(Qt::AlignLeft | Qt::AlignVCenter));
    default: return {};
    }
}

QVariant FileListModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || section < 0 || section >= ColumnCount)
        return {};
    if (role == Qt::DisplayRole)
        return QString(ColumnHeaders[section]);
    if (role == Qt::TextAlignmentRole && (section == FormatColumn || section == SizeColumn))
        return QVariant::fromValue(Qt::Alignment(Qt::AlignCenter));
    return {};
}

Qt::ItemFlags FileListModel::flags(const QModelIndex& index) const
{
    return index.isValid() ? Qt::ItemIsEnabled | Qt::ItemIsSelectable : Qt::NoItemFlags;
}

int FileListModel::findRow(const std::string& path) const
{
    const auto found = rowOfPath_.find(path);
    return found == rowOfPath_.end() ? -1 : found->second;
}

FileRow FileListModel::makeRow(const std::string& path, std::uint64_t bytes)
{
    const std::filesystem::path file(path);
    const std::string extension = extensionOf(file.filename().string());
    FileRow fileRow;
    fileRow.path = path;
    fileRow.name = qtText(file.stem().string());
    fileRow.format = qtText(formatColumnText(extension));
    fileRow.size = qtText(sizeColumnText(bytes));
    fileRow.folder = qtText(file.parent_path().empty() ? std::string("/") : file.parent_path().string());
    fileRow.flags = formatFlagsFor(extension);
    fileRow.statusShown = qtText(std::string(RecentlyAddedText));
    return fileRow;
}

bool FileListModel::appendFile(const std::string& path, std::uint64_t bytes)
{
    std::vector<FileRow> row;
    row.push_back(makeRow(path, bytes));
    return !appendRows(std::move(row)).empty();
}

std::vector<std::string> FileListModel::appendRows(std::vector<FileRow> rows)
{
    std::vector<FileRow> fresh;
    fresh.reserve(rows.size());
    const int first = rowCount();
    for (FileRow& fileRow : rows) {
        if (fileRow.path.empty() || !rowOfPath_.emplace(fileRow.path, first + static_cast<int>(fresh.size())).second)
            continue; // listed already, or earlier in this batch
        fresh.push_back(std::move(fileRow));
    }
    std::vector<std::string> added;
    if (fresh.empty())
        return added;
    added.reserve(fresh.size());
    // One insertion for the batch: the view and its selection take a single
    // notice instead of one per row.
    beginInsertRows({}, first, first + static_cast<int>(fresh.size()) - 1);
    for (FileRow& fileRow : fresh) {
        added.push_back(fileRow.path);
        rows_.push_back(std::move(fileRow));
    }
    endInsertRows();
    emit changed();
    return added;
}

void FileListModel::removeRows(const std::vector<int>& sortedRows)
{
    if (sortedRows.empty())
        return;
    if (sortedRows.size() == rows_.size()) {
        clear();
        return;
    }
    // From the bottom, so that the indices above stay valid; runs of
    // neighbouring rows go in one step.
    for (std::size_t end = sortedRows.size(); end > 0;) {
        std::size_t start = end - 1;
        while (start > 0 && sortedRows[start - 1] == sortedRows[start] - 1)
            --start;
        const int first = sortedRows[start];
        const int last = sortedRows[end - 1];
        beginRemoveRows({}, first, last);
        rows_.erase(rows_.begin() + first, rows_.begin() + last + 1);
        endRemoveRows();
        end = start;
    }
    reindex();
    emit changed();
}

void FileListModel::clear()
{
    beginResetModel();
    rows_.clear();
    rowOfPath_.clear();
    endResetModel();
    emit changed();
}

ConversionStatus FileListModel::status(int index) const
{
    return static_cast<ConversionStatus>(rows_[static_cast<std::size_t>(index)].flags & StatusBits);
}

void FileListModel::setStatus(int index, ConversionStatus status)
{
    FileRow& fileRow = rows_[static_cast<std::size_t>(index)];
    fileRow.flags = (fileRow.flags & ~StatusBits) | (static_cast<std::uint32_t>(status) & StatusBits);
    emit changed();
}

void FileListModel::markNotConvertible(int index, const QString& reason)
{
    FileRow& fileRow = rows_[static_cast<std::size_t>(index)];
    fileRow.keptStatusText = reason;
    fileRow.statusShown = reason;
    setStatus(index, ConversionStatus::CannotBeConverted);
}

void FileListModel::refresh()
{
    if (rows_.empty())
        return;
    for (FileRow& fileRow : rows_) {
        if ((fileRow.flags & StatusBits) == static_cast<std::uint32_t>(ConversionStatus::CannotBeConverted) &&
            !fileRow.keptStatusText.isEmpty())
            continue;
        fileRow.statusShown = qtText(std::string(statusColumnText(fileRow.flags)));
    }
    emit dataChanged(index(0, 0), index(rowCount() - 1, ColumnCount - 1),
                     {Qt::DisplayRole, Qt::DecorationRole, Qt::ToolTipRole});
}

void FileListModel::sortBy(int column, bool ascending)
{
    if (rows_.size() < 2 || column < 0 || column >= ColumnCount)
        return;
    emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
    std::vector<QByteArray> keys;
    keys.reserve(rows_.size());
    for (const FileRow& fileRow : rows_)
        keys.push_back(columnText(fileRow, column).toUtf8());
    std::vector<int> order(rows_.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&](int a, int b) {
        const QByteArray& left = keys[static_cast<std::size_t>(a)];
        const QByteArray& right = keys[static_cast<std::size_t>(b)];
        const int comparison = compareLogically({left.constData(), static_cast<std::size_t>(left.size())},
                                                {right.constData(), static_cast<std::size_t>(right.size())});
        return ascending ? comparison < 0 : comparison > 0;
    });
    std::vector<FileRow> sorted;
    sorted.reserve(rows_.size());
    std::vector<int> newPosition(rows_.size());
    for (std::size_t position = 0; position < order.size(); ++position) {
        sorted.push_back(std::move(rows_[static_cast<std::size_t>(order[position])]));
        newPosition[static_cast<std::size_t>(order[position])] = static_cast<int>(position);
    }
    rows_ = std::move(sorted);
    reindex();
    const QModelIndexList persistent = persistentIndexList();
    QModelIndexList moved;
    moved.reserve(persistent.size());
    for (const QModelIndex& old : persistent)
        moved.append(index(newPosition[static_cast<std::size_t>(old.row())], old.column()));
    changePersistentIndexList(persistent, moved);
    emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
}

void FileListModel::reindex()
{
    rowOfPath_.clear();
    rowOfPath_.reserve(rows_.size());
    for (std::size_t position = 0; position < rows_.size(); ++position)
        rowOfPath_.emplace(rows_[position].path, static_cast<int>(position));
}

} // namespace morvex::ui
