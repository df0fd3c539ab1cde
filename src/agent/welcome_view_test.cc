#include "agent/welcome_view.h"

#include <QLabel>
#include <QPushButton>
#include <QStringList>

#include <gtest/gtest.h>

#include "agent/agent_test_util.h"
#include "agent/views_test_util.h"

namespace tallowick {
namespace {

using testing::AgentTest;
using testing::writePicture;

const auto* const kQt = ::testing::AddGlobalTestEnvironment(new testing::WidgetsEnvironment);

using WelcomeViewTest = AgentTest;

TEST_F(WelcomeViewTest, ShowsTheThreeRowsAndTheAccessState) {
  Agent& agent = makeAgent();
  WelcomeView view(agent);
  EXPECT_EQ(view.size(), QSize(WelcomeView::kWidth, WelcomeView::kHeight));
  EXPECT_EQ(view.windowTitle().toStdString(), "Welcome to Tallowick");
  QStringList headlines;
  for (QLabel* label : view.findChildren<QLabel*>("headline")) headlines << label->text();
  EXPECT_EQ(headlines.size(), 3);
  EXPECT_EQ(headlines[1].toStdString(), "Only your folders");
  EXPECT_EQ(headlines[2].toStdString(), "Pair your iPhone");
  // The dates can be read: granted, no settings button.
  EXPECT_NE(view.findChild<QLabel*>("accessState")->text().toStdString().find("Granted"),
            std::string::npos);
  view.show();
  writePicture(view, "welcome");
}

TEST_F(WelcomeViewTest, GotItIsRememberedAndClosingIsNot) {
  Agent& agent = makeAgent();
  {
    WelcomeView view(agent);
    view.show();
    view.close();
    EXPECT_FALSE(makeAgent().seenWelcome());
    EXPECT_TRUE(makeAgent().shouldShowWelcome({}));
  }
  WelcomeView view(agent);
  view.show();
  view.findChild<QPushButton*>("gotIt")->click();
  EXPECT_FALSE(view.isVisible());
  EXPECT_TRUE(makeAgent().seenWelcome());
  EXPECT_FALSE(makeAgent().shouldShowWelcome({}));
  EXPECT_TRUE(makeAgent().shouldShowWelcome({QStringLiteral("-welcome")}));
}

}  // namespace
}  // namespace tallowick
