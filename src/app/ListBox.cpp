#include "app/ListBox.h"

// Placeholder bodies; the real list box replaces these.
namespace karvello {
ListBox::ListBox(QWidget* parent) : QAbstractScrollArea(parent) {}
void ListBox::ItemsChanged() { viewport()->update(); }
void ListBox::SetHorizontalExtent(int pixels) { horizontal_extent_ = pixels; }
QRect ListBox::ItemRect(ItemList::Index) const { return {}; }
void SetHorizontalExtent(QWidget&, ListBox&) {}
}  // namespace karvello
