// The editor's scripts run against the fake word processor.
#include "editor/WordScripts.h"
#include "platform/desktop/WordProcessor.h"

#include "support/FakeWordProcessor.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

namespace s = zuvo::scripts;
using zuvo::test::FakeWordProcessor;

TEST(ScriptsWithFake, ValuesWithTheirOwnTagOrSpecialCharactersArriveAsTyped) {
  FakeWordProcessor fake;
  ASSERT_TRUE(fake.start());
  const QString dir = zuvo::test::makeTempDir("doc");
  const struct {
    QString text, tag, value, expected;
  } cases[] = {
      {"To <<Name>> and <<Name>>.", "<<Name>>", "Dr <<Name>> Lee", "To Dr <<Name>> Lee and Dr <<Name>> Lee."},
      {"<<Name>>>", "<<Name>>", "<<Name>", "<<Name>>"},
      {"A <<Q>> B", "<<Q>>", "say \"hi\" \\ now", "A say \"hi\" \\ now B"},
      {"A <<Addr>> B", "<<Addr>>", "1 Road\r\nTown\tX", "A 1 Road\r\nTown\tX B"},
      {"A <<Name>> <<name>> <<Name>>s B", "<<Name>>", "Ann", "A Ann <<name>> <<Name>>s B"},
      {"A <<Name>> B", "<<Name>>", "\" & (do shell script \"touch /tmp/x\") & \"",
       "A \" & (do shell script \"touch /tmp/x\") & \" B"},
  };
  int n = 0;
  for (const auto& c : cases) {
    const QString path = QStringLiteral("%1/doc%2 \"q\".txt").arg(dir).arg(++n);
    zuvo::test::writeFile(path, c.text.toUtf8());
    for (const QString& script : s::placeholderScripts(path, c.tag, c.value))
      EXPECT_TRUE(zuvo::wordprocessor::runScript(script).has_value()) << c.value.toStdString();
    EXPECT_EQ(fake.text(path), c.expected) << c.value.toStdString();
  }
  // Sent as one plain script, a value holding its tag would never end.
  const QString path = dir + "/loop.txt";
  zuvo::test::writeFile(path, "<<Name>>");
  EXPECT_FALSE(zuvo::wordprocessor::runScript(s::placeholderScript(path, "<<Name>>", "x <<Name>>")).has_value());
  EXPECT_EQ(fake.journal("script").last()["outcome"].toString(), "looped");
}
