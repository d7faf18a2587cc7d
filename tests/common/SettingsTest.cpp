#include "common/Settings.h"

#include <gtest/gtest.h>

#include "tests/support/TestSupport.h"

namespace vidra {
namespace {

TEST(IniSettings, KeepsCaseAndOrderAndMatchesNamesWithoutCase) {
  test::TempFile file(
      "; comment\n[VIDRAServer]\nName = VIDRA\nChannelCount=2 ; inline comment\n"
      "[Devices]\nOut1 = virtual 25\nout2 = virtual 50\n[vidraserver]\nname = Second\n");
  std::string error;
  const auto settings = IniSettings::Load(file.Path(), error);
  ASSERT_NE(settings, nullptr) << error;
  EXPECT_EQ(settings->Get("VIDRAServer", "ChannelCount"), "2");
  EXPECT_EQ(settings->Get("vidraSERVER", "NAME"), "Second") << "the last value given wins";
  EXPECT_FALSE(settings->Get("VIDRAServer", "Path"));
  const auto devices = settings->Section("devices");
  ASSERT_EQ(devices.size(), 2u);
  EXPECT_EQ(devices[0].key, "Out1");
  EXPECT_EQ(devices[0].value, "virtual 25");
  EXPECT_EQ(devices[1].key, "out2");
  EXPECT_EQ(settings->Origin(), file.Path());
}

TEST(IniSettings, ErrorsNameTheFileAndTheLine) {
  std::string error;
  EXPECT_EQ(IniSettings::Load("/nonexistent/vidra.ini", error), nullptr);
  EXPECT_NE(error.find("/nonexistent/vidra.ini"), std::string::npos) << error;
  EXPECT_NE(error.find("No such file"), std::string::npos) << error;

  test::TempFile broken("[Network]\nLowerPort = 1\nthis line is no setting\n");
  EXPECT_EQ(IniSettings::Load(broken.Path(), error), nullptr);
  EXPECT_NE(error.find(broken.Path() + ", line 3"), std::string::npos) << error;
}

}  // namespace
}  // namespace vidra
