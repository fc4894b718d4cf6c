// The Collection pane beside the list: every catalogued drive and folder,
// connected or not, with "Everything" and "Duplicates"; under them the
// totals of the rows the list shows.
#pragma once

#include "rowcatalogue.h"
#include "rowtotals.h"

#include <QWidget>

#include <cstdint>
#include <span>
#include <vector>

class QComboBox;
class QTableWidget;
class QTreeWidget;
class QTreeWidgetItem;

namespace vidarium {

class CollectionPane final : public QWidget {
    Q_OBJECT

public:
    // What an entry of the tree lists.
    enum class Entry { Everything, Root, Duplicates };

    explicit CollectionPane(QWidget* parent = nullptr);

    // The catalogue's drives and folders, the groups of probable copies and
    // what they waste; the entry chosen stays chosen where it still is.
    void SetCollection(std::vector<CataloguedRoot> roots, std::size_t duplicateGroups,
                       std::uint64_t wasted);
    const std::vector<CataloguedRoot>& Roots() const { return roots_; }
    // The totals table of these rows, by the field chosen beside it.
    void ShowTotals(std::span<const FileRow* const> rows);

    QTreeWidget* Tree;
    QComboBox* TotalsBy;
    QTableWidget* TotalsTable;

signals:
    // An entry was chosen (a click, or the keys); `root` indexes Roots().
    void Chosen(CollectionPane::Entry entry, int root);
    void TotalsFieldChanged();

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    std::vector<CataloguedRoot> roots_;
};

} // namespace vidarium
