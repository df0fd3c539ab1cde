#pragma once
// The welcome window of the first run: where the agent lives (the panel's
// tray), what it reads, which folders it scans and how to pair a phone.
// "Got it" stores "seenWelcome" and closes it; closing it otherwise leaves
// the setting unset, so it opens again at the next launch.

#include <QWidget>

namespace tallowick {

class Agent;

class WelcomeView : public QWidget {
  Q_OBJECT

 public:
  static constexpr int kWidth = 520;
  static constexpr int kHeight = 440;

  explicit WelcomeView(Agent& agent, QWidget* parent = nullptr);
};

}  // namespace tallowick
