// How a list box shows an item: the text it draws for the item's bytes, and
// that text's width. The list box, its accessibility and the horizontal
// extent all go through these, so that what is measured is what is drawn.

#ifndef KARVELLO_APP_EXTENT_ITEMDISPLAYTEXT_H_
#define KARVELLO_APP_EXTENT_ITEMDISPLAYTEXT_H_

#include <QFontMetricsF>
#include <QString>
#include <string_view>

namespace karvello {

// The text of `item` as the window reads it. An item that is well-formed
// UTF-8 (IsWellFormedUtf8 in lists/Utf8.h) is read as UTF-8; any other item
// is read, whole, as Windows-1252, the usual encoding of old 8-bit list
// files, its five undefined bytes (81 8D 8F 90 9D) as the C1 controls of the
// same number. The item's bytes are never changed.
//
// Example: "caf\xC3\xA9" and "caf\xE9" both read as "café".
QString ItemText(std::string_view item);

// The text a list box shows for `item`: ItemText, with each C0 control
// character shown as its control picture (U+2400 + code, DEL as U+2421) and
// each C1 control as U+FFFD, so that no byte can end the line early, break
// it, or hide the rest of it. An ampersand shows as itself (no mnemonics); a
// tab is not expanded.
//
// Example: "caf\xE9" shows as "café"; "a\tb" shows as "a\u2409b".
QString ItemDisplayText(std::string_view item);

// The character Windows-1252 makes of `byte` (Latin-1 outside 80 to 9F),
// as ItemText reads an item that is not UTF-8.
char16_t Windows1252Char(unsigned char byte);

// The width, in pixels and not rounded, of `item` as the list box draws it in
// the font of `metrics`: the width QPainter::drawText gives ItemDisplayText.
qreal ItemTextWidth(const QFontMetricsF& metrics, std::string_view item);

}  // namespace karvello

#endif  // KARVELLO_APP_EXTENT_ITEMDISPLAYTEXT_H_
