#include "listfiles/HorizontalList1.h"

// Placeholder body; the real computation replaces this.
namespace karvello {
int ComputeHorizontalExtent(const ItemList&, const QFont&, int) { return 0; }
}  // namespace karvello
