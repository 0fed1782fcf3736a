// Texts and numbers of the pages.
#include <QTest>

#include "corvane_app.h"
#include "gui_test.h"
#include "gui_text.h"

class TestTexts : public QObject {
  Q_OBJECT
 private slots:
  void percent();
};

void TestTexts::percent() { QCOMPARE(Gui_PercentTenths(3, 1), 333u); }

GUI_TEST(TestTexts);
#include "test_texts.moc"
