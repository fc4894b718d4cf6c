// The report list's widgets: its view, its header and the menu of its columns.
#pragma once

#include <QHeaderView>
#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QStyleOptionHeader>
#include <QTableView>

#include <utility>

namespace vidarium {

// The report list's header: its sort arrow points up while the smallest
// value is on top, as file managers show it; Qt's own header asks the style
// for a down arrow there.
class ReportHeader final : public QHeaderView {
public:
    using QHeaderView::QHeaderView;

protected:
    void initStyleOptionForIndex(QStyleOptionHeader* option, int logicalIndex) const override {
        QHeaderView::initStyleOptionForIndex(option, logicalIndex);
        if (option->sortIndicator != QStyleOptionHeader::None) {
            option->sortIndicator = sortIndicatorOrder() == Qt::AscendingOrder
                                        ? QStyleOptionHeader::SortUp
                                        : QStyleOptionHeader::SortDown;
        }
    }
};

// The report list: Home and End, with Ctrl or without, go to the first and
// the last row in the column at hand, not to the row's last column.
class ReportView final : public QTableView {
public:
    explicit ReportView(QWidget* parent) : QTableView(parent) {
        setHorizontalHeader(new ReportHeader(Qt::Horizontal, this));
    }

protected:
    QModelIndex moveCursor(CursorAction action, Qt::KeyboardModifiers modifiers) override {
        if ((action == MoveHome || action == MoveEnd) && model() != nullptr &&
            model()->rowCount() > 0) {
            const int column = currentIndex().isValid() ? currentIndex().column() : 0;
            return model()->index(action == MoveHome ? 0 : model()->rowCount() - 1, column);
        }
        return QTableView::moveCursor(action, modifiers);
    }
};

// A menu of ticks that stays open while they are set, several in a row; Esc
// or a click outside closes it.
class TickMenu final : public QMenu {
public:
    using QMenu::QMenu;

protected:
    // A tick is set by a click inside the menu: the release of the right
    // button that opened it, over the item that came under the pointer, is
    // not one.
    void mousePressEvent(QMouseEvent* event) override {
        pressed_ = TickOf(actionAt(event->position().toPoint()));
        QMenu::mousePressEvent(event);
    }
    void mouseReleaseEvent(QMouseEvent* event) override {
        const bool pressed = std::exchange(pressed_, false);
        if (QAction* action = actionAt(event->position().toPoint()); TickOf(action)) {
            if (pressed) {
                action->trigger();
            }
            return;
        }
        QMenu::mouseReleaseEvent(event);
    }
    void keyPressEvent(QKeyEvent* event) override {
        if (event->key() == Qt::Key_Space && TickOf(activeAction())) {
            activeAction()->trigger();
            return;
        }
        QMenu::keyPressEvent(event);
    }

private:
    static bool TickOf(const QAction* action) {
        return action != nullptr && action->isCheckable() && action->isEnabled();
    }
    bool pressed_ = false;
};

} // namespace vidarium
