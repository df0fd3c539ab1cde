#pragma once

#include <QLabel>
#include <QString>

namespace tallowick {

// A label the views fill later and the tests find by its object name.
// pointSize 0 keeps the font's size.
QLabel* namedLabel(const QString& name, int pointSize = 0, bool bold = false);

}  // namespace tallowick
