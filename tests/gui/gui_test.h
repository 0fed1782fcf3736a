// Shared pieces of the GUI tests: registration of the test classes, the engine libraries.
#pragma once

#include <QObject>
#include <functional>
#include <vector>

/// Test classes register a factory; the main runs each in turn.
struct GuiTestRegistration {
  GuiTestRegistration(const char* name, std::function<QObject*()> make);
};
#define GUI_TEST(Class) \
  static const GuiTestRegistration registration_##Class(#Class, [] { return new Class; })

std::vector<std::pair<const char*, std::function<QObject*()>>>& GuiTest_All();
