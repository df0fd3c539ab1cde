#include "agent/welcome_view.h"

#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "agent/agent.h"
#include "agent/view_text.h"

namespace tallowick {
namespace {

QLabel* text(const QString& value, const QString& name, double scale = 1.0, bool bold = false) {
  auto* label = new QLabel(value);
  label->setObjectName(name);
  label->setWordWrap(true);
  QFont font = label->font();
  font.setPointSizeF(font.pointSizeF() * scale);
  font.setBold(bold);
  label->setFont(font);
  return label;
}

}  // namespace

WelcomeView::WelcomeView(Agent& agent, QWidget* parent) : QWidget(parent) {
  setObjectName(QStringLiteral("welcome"));
  setWindowTitle(tr("Welcome to Tallowick"));
  setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
  setFixedSize(kWidth, kHeight);

  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(24, 20, 24, 20);
  column->setSpacing(10);
  column->addWidget(
      text(tr("Tallowick is in your panel's tray"), QStringLiteral("welcomeTitle"), 1.5, true));
  column->addWidget(text(tr("Look for its icon in the tray of your panel. There's no window and no "
                            "taskbar entry."),
                         QStringLiteral("welcomeSubtitle")));
  auto* line = new QFrame;
  line->setFrameShape(QFrame::HLine);
  line->setFrameShadow(QFrame::Sunken);
  column->addWidget(line);

  auto* rows = new QGridLayout;
  rows->setVerticalSpacing(12);
  rows->setColumnStretch(1, 1);
  struct Row {
    const char* icon;
    QString headline;
    QString body;
  };
  const Row table[] = {
      {"document-open-recent", tr("“Last opened” dates"),
       tr("Tallowick reads the “last opened” dates your file system keeps, so “stale” means "
          "<i>unused</i>, not just old. Nothing else changes: files only ever go to the Trash, and "
          "only from the folders you choose.")},
      {"folder", tr("Only your folders"),
       tr("Desktop, Downloads, Pictures, Documents and Videos by default. Change that in Folders… "
          "from the tray icon's menu.")},
      {"phone", tr("Pair your iPhone"),
       tr("Open Tallowick on the phone, tap Scan QR, and point it at the code in the tray icon's "
          "panel. Or type the six digits.")},
  };
  int r = 0;
  for (const Row& row : table) {
    auto* icon = new QLabel;
    icon->setFixedWidth(28);
    icon->setPixmap(QIcon::fromTheme(QString::fromLatin1(row.icon)).pixmap(22, 22));
    rows->addWidget(icon, r, 0, 2, 1, Qt::AlignTop);
    rows->addWidget(text(row.headline, QStringLiteral("headline"), 1.0, true), r, 1);
    auto* body = text(row.body, QStringLiteral("body"));
    body->setTextFormat(Qt::RichText);
    rows->addWidget(body, r + 1, 1);
    if (r == 0) {
      // The access state under the first row.
      QLabel* state =
          agent.fullDiskAccess()
              ? text(QStringLiteral("✔ ") + tr("Granted"), QStringLiteral("accessState"))
              : text(tr("Tallowick cannot read these dates in every folder; scanning "
                        "still works."),
                     QStringLiteral("accessState"), 0.85);
      QPalette palette = state->palette();
      palette.setColor(QPalette::WindowText,
                       ViewText::toneColour(agent.fullDiskAccess() ? ViewText::Tone::Ready
                                                                   : ViewText::Tone::Scanning));
      state->setPalette(palette);
      rows->addWidget(state, r + 2, 1);
      r += 1;
    }
    r += 2;
  }
  column->addLayout(rows);
  column->addStretch(1);

  auto* gotIt = new QPushButton(tr("Got it"));
  gotIt->setObjectName(QStringLiteral("gotIt"));
  gotIt->setDefault(true);
  connect(gotIt, &QPushButton::clicked, this, [this, &agent] {
    agent.acknowledgeWelcome();
    close();
  });
  auto* footer = new QHBoxLayout;
  footer->addStretch(1);
  footer->addWidget(gotIt);
  column->addLayout(footer);
}

}  // namespace tallowick
