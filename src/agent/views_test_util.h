#pragma once
// Test helpers for the tray views: one QApplication (offscreen platform, as
// the test environment sets it) for the test program, and PNG pictures of
// the views written into the build folder.

#include <QApplication>
#include <QDir>
#include <QWidget>

#include <cstdlib>
#include <memory>
#include <string>

#include <gtest/gtest.h>

namespace tallowick::testing {

class WidgetsEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    static int argc = 1;
    static char name[] = "views_test";
    static char* argv[] = {name, nullptr};
    if (!QApplication::instance()) app_ = std::make_unique<QApplication>(argc, argv);
  }
  void TearDown() override { app_.reset(); }

 private:
  std::unique_ptr<QApplication> app_;
};

// Writes a picture of `widget` as TALLOWICK_BINARY_DIR/views/<name>.png
// (the working folder when that is not set); returns its path.
inline QString writePicture(QWidget& widget, const QString& name) {
  const char* binary = std::getenv("TALLOWICK_BINARY_DIR");
  const QString folder = QString::fromLocal8Bit(binary ? binary : ".") + QStringLiteral("/views");
  QDir().mkpath(folder);
  const QString path = folder + QStringLiteral("/") + name + QStringLiteral(".png");
  EXPECT_TRUE(widget.grab().save(path)) << path.toStdString();
  return path;
}

}  // namespace tallowick::testing
