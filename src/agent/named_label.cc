#include "agent/named_label.h"

#include <QFont>

namespace tallowick {

QLabel* namedLabel(const QString& name, int pointSize, bool bold) {
  auto* text = new QLabel;
  text->setObjectName(name);
  QFont font = text->font();
  if (pointSize > 0) font.setPointSize(pointSize);
  font.setBold(bold);
  text->setFont(font);
  return text;
}

}  // namespace tallowick
