// The NRCS's objects in the catalogue on real files: the placeholder log (any text kept, a
// line cut by a crash left out, compacted), placeholders that outlive a restart, become
// objects when their file lands and placeholders again when it goes, and many of them.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>

#include "common/Log.h"
#include "media/MediaLibrary.h"
#include "media/PlaceholderLog.h"
#include "tests/support/FakeProbe.h"
#include "tests/support/TestSupport.h"

namespace vidra {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::size_t LinesOf(const std::string& path) {
  std::ifstream in(path);
  std::size_t lines = 0;
  for (std::string line; std::getline(in, line);) {
    ++lines;
  }
  return lines;
}

TEST(PlaceholderLog, KeepsAnyTextLeavesOutACutLineAndCompacts) {
  LogCapture log;
  const test::TempDir folder;
  const std::string path = folder.Path() + "/p/.log";
  PlaceholderLog placeholders(path);
  std::vector<PlaceholderRecord> read;
  std::string error;
  ASSERT_TRUE(placeholders.Load(read, error)) << "no log yet is no placeholder";
  EXPECT_TRUE(read.empty());

  PlaceholderRecord a;
  a.objID = "placeholders/A_000001.mxf";
  a.relativePath = a.objID;
  a.created = 100;
  a.changed = 200;
  a.text.objSlug = "tab\there, line\nthere, back\\slash \\t and \r";
  a.text.description = "é ü 日本";
  a.text.metadataXml =
      "<mosExternalMetadata><mosPayload>\n\t<x/></mosPayload></mosExternalMetadata>";
  PlaceholderRecord b = a;
  b.objID = "B";
  b.relativePath = "placeholders/B.mxf";
  ASSERT_TRUE(placeholders.Put(a, error)) << error;
  ASSERT_TRUE(placeholders.Put(b, error)) << error;
  a.text.objSlug = "renamed";
  ASSERT_TRUE(placeholders.Put(a, error)) << error;
  ASSERT_TRUE(placeholders.Remove("B", error)) << error;
  // A crash in the middle of the next line.
  std::ofstream(path, std::ios::app) << "P\tC\tplaceholders/C.mxf\tC";

  ASSERT_TRUE(placeholders.Load(read, error)) << error;
  ASSERT_EQ(read.size(), 1u);
  EXPECT_EQ(read[0].objID, a.objID);
  EXPECT_EQ(read[0].text.objSlug, "renamed");
  EXPECT_EQ(read[0].text.description, a.text.description);
  EXPECT_EQ(read[0].text.metadataXml, a.text.metadataXml);
  EXPECT_EQ(read[0].created, 100u);
  EXPECT_EQ(read[0].changed, 200u);
  EXPECT_TRUE(log.HasInOrder({"VIDRA - placeholder log " + path + ": 1 damaged line(s) left out"}));
  EXPECT_EQ(LinesOf(path), 1u) << "compacted to the one record";
  ASSERT_TRUE(placeholders.Put(b, error));
  ASSERT_TRUE(placeholders.Load(read, error));
  EXPECT_EQ(read.size(), 2u) << "appends after a compaction are whole lines";

  fs::remove(path);
  fs::create_directory(path);
  EXPECT_FALSE(placeholders.Put(a, error));
  EXPECT_NE(error.find("the placeholder log " + path + " cannot be written"), std::string::npos)
      << error;
}

class Placeholders : public ::testing::Test {
 protected:
  std::unique_ptr<MediaLibrary> Start() {
    auto library =
        std::make_unique<MediaLibrary>(std::make_unique<test::FakeProbe>(), folder, clock, 20ms);
    library->Start();
    EXPECT_TRUE(test::WaitUntil([&] { return library->Catalogue().Progress().complete; }));
    return library;
  }
  static NrcsObjectText Text(const std::string& slug) {
    NrcsObjectText text;
    text.objSlug = slug;
    text.objType = "VIDEO";
    text.objDur = "250";
    return text;
  }

  LogCapture quiet;
  test::TempDir root;
  std::string folder = root.Path() + "/media";
  ManualClock clock{kUnixEpochFileTime, ManualClock::Mode::AutoAdvance};
};

TEST_F(Placeholders, OutliveARestartAndFollowTheirFile) {
  root.Write("media/station.mxf", "clip 4");
  std::string id;
  {
    auto library = Start();
    const ObjectEditResult made =
        library->Catalogue().CreatePlaceholder(Text("Fire / mill: 2nd"), "");
    ASSERT_EQ(made.outcome, ObjectEdit::Done) << made.detail;
    id = made.object.objID;
    EXPECT_EQ(id, "placeholders/Fire___mill__2nd_000001.mxf");
    EXPECT_TRUE(made.object.Placeholder());
    // One named by the NRCS, inside the folder; one outside it.
    EXPECT_EQ(library->Catalogue().CreatePlaceholder(Text("x"), "in/own.mxf").outcome,
              ObjectEdit::Done);
    EXPECT_EQ(library->Catalogue().CreatePlaceholder(Text("x"), folder + "/../out.mxf").outcome,
              ObjectEdit::PathOutside);
    EXPECT_EQ(library->Catalogue().CreatePlaceholder(Text("x"), kPlaceholderLogName).outcome,
              ObjectEdit::PathOutside);
    library->Stop();
  }
  // Back after a restart, still waiting for its file.
  auto library = Start();
  auto object = library->Catalogue().Find(id);
  ASSERT_TRUE(object);
  EXPECT_TRUE(object->Placeholder());
  ASSERT_TRUE(object->nrcs);
  EXPECT_EQ(object->nrcs->objSlug, "Fire / mill: 2nd");
  EXPECT_TRUE(library->Catalogue().Find("in/own.mxf"));
  EXPECT_FALSE(library->Catalogue().Find(kPlaceholderLogName)) << "the log is no media";

  // Its file lands: an object with media, the NRCS's texts kept.
  root.Write("media/" + id, "clip 3");
  ASSERT_TRUE(test::WaitUntil([&] {
    const auto now = library->Catalogue().Find(id);
    return now && now->media.playable;
  }));
  EXPECT_EQ(library->Catalogue().Find(id)->nrcs->objSlug, "Fire / mill: 2nd");
  EXPECT_EQ(library->Catalogue().DeleteNrcsObject(id).outcome, ObjectEdit::HasMedia);
  EXPECT_EQ(library->Catalogue().DeleteNrcsObject("station.mxf").outcome, ObjectEdit::StationFile);
  // It goes: a placeholder again, not gone.
  fs::remove(folder + "/" + id);
  ASSERT_TRUE(test::WaitUntil([&] {
    const auto now = library->Catalogue().Find(id);
    return now && now->Placeholder();
  }));
  EXPECT_EQ(library->Catalogue().DeleteNrcsObject(id).outcome, ObjectEdit::Done);
  EXPECT_FALSE(library->Catalogue().Find(id));
  library->Stop();
  library.reset();
  library = Start();
  EXPECT_FALSE(library->Catalogue().Find(id)) << "the deletion outlives a restart";
  EXPECT_TRUE(library->Catalogue().Find("in/own.mxf"));
  library->Stop();
}

TEST_F(Placeholders, TenThousandHaveTheirOwnNamesAndAllComeBack) {
  std::set<std::string> ids;
  {
    auto library = Start();
    for (int k = 0; k < 10'000; ++k) {
      const ObjectEditResult made = library->Catalogue().CreatePlaceholder(Text("Same slug"), "");
      ASSERT_EQ(made.outcome, ObjectEdit::Done) << k << " " << made.detail;
      ids.insert(made.object.objID);
    }
    library->Stop();
  }
  EXPECT_EQ(ids.size(), 10'000u);
  auto library = Start();
  EXPECT_EQ(library->Catalogue().Count(), 10'000u);
  const ObjectEditResult next = library->Catalogue().CreatePlaceholder(Text("Same slug"), "");
  EXPECT_EQ(next.outcome, ObjectEdit::Done);
  EXPECT_FALSE(ids.contains(next.object.objID)) << "numbering goes on after a restart";
  library->Stop();
}

}  // namespace
}  // namespace vidra
