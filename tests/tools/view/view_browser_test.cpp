// The page itself in headless Chromium, against a virtual headset: every
// electrode gets a trace with recent data and a grade, the spectrum is
// drawn, and an annotation typed into the page's box lands in the
// recording. The screenshot it takes is kept in the build tree (and, with
// CALYRA_VIEW_SCREENSHOT_TO_DOCS=1, copied to docs/view.png).
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "../bdf_reader.h"
#include "background_calyra.h"

namespace fs = std::filesystem;

namespace {

std::string read_text(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// Runs the driver on `url` (mode "", "fit" or "side"); what it saw goes to
// dir/driver.out, its complaints to dir/driver.err. Returns its status.
int drive_page(const std::string& url, const std::string& screenshot, const std::string& annotation,
               const fs::path& dir, const std::string& mode) {
  const std::string command = std::string(NODE_PROGRAM) + " " + VIEW_DRIVER + " '" + url + "' '" + screenshot +
                              "' '" + annotation + "' '" + (dir / "profile").string() + "' " + mode + " > '" +
                              (dir / "driver.out").string() + "' 2> '" + (dir / "driver.err").string() + "'";
  return std::system(command.c_str());
}

TEST(view_browser, the_page_shows_every_electrode_and_its_box_annotates_the_recording) {
  const fs::path dir = fs::temp_directory_path() / ("calyra_view_browser_" + std::to_string(getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir / "profile");
  const std::string recording = (dir / "rec.bdf").string();
  calyra::test::background_calyra calyra(
      CALYRA_PROGRAM, {"--virtual", "view", "CY KESTREL 9", "--out", recording},
      {{"CYCORE_VIRTUAL_DEVICES", "CY KESTREL 9,battery=64"}}, dir.string());
  const std::string url = calyra.wait_for_url(15);
  ASSERT_FALSE(url.empty()) << calyra.out() << calyra.err();

  const std::string note = "eyes closed \xe2\x80\x94 page";
  const int driver = drive_page(url, SCREENSHOT_PATH, note, dir, "");
  const std::string seen = read_text(dir / "driver.out");
  calyra.interrupt();
  ASSERT_EQ(calyra.wait(30), 0) << calyra.out() << calyra.err();
  ASSERT_EQ(driver, 0) << read_text(dir / "driver.err");

  // What the driver checked in the page, as it reports it.
  for (const char* label : {"E1", "E2", "E3", "E4"}) {
    EXPECT_NE(seen.find(std::string("{\"label\":\"") + label + "\",\"grade\":\"noisy\""), std::string::npos) << seen;
  }
  EXPECT_NE(seen.find("\"boxAfterSend\":\"\""), std::string::npos) << seen;
  // The other local server was visited and never saw the token (the driver
  // fails otherwise); the token is not in calyra's output beyond its address.
  EXPECT_NE(seen.find("\"otherServerSaw\":"), std::string::npos) << seen;
  const std::string png = read_text(SCREENSHOT_PATH);
  ASSERT_GT(png.size(), 10000u);
  EXPECT_EQ(png.substr(1, 3), "PNG");

  // The annotation went the way of a typed line: into the file.
  EXPECT_NE(calyra.out().find("annotation \"" + note + "\" at sample"), std::string::npos) << calyra.out();
  const auto rec = calyra::test::read_bdf(recording);
  ASSERT_EQ(rec.annotations.size(), 1u);
  EXPECT_EQ(rec.annotations[0].text, note);
  EXPECT_GT(rec.annotations[0].onset_seconds, 0.5);

  const char* to_docs = std::getenv("CALYRA_VIEW_SCREENSHOT_TO_DOCS");
  if (to_docs != nullptr && std::string(to_docs) == "1") {
    fs::copy_file(SCREENSHOT_PATH, DOCS_SCREENSHOT, fs::copy_options::overwrite_existing);
  }
  fs::remove_all(dir);
}

TEST(view_browser, every_one_of_32_electrodes_fits_in_the_window_and_the_wheel_scrolls) {
  const fs::path dir = fs::temp_directory_path() / ("calyra_view_fit_" + std::to_string(getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir / "profile");
  calyra::test::background_calyra calyra(CALYRA_PROGRAM, {"--virtual", "view", "CY HERON 3"},
                                         {{"CYCORE_VIRTUAL_DEVICES", "CY HERON 3,model=2"}}, dir.string());
  const std::string url = calyra.wait_for_url(15);
  ASSERT_FALSE(url.empty()) << calyra.out() << calyra.err();
  const int driver = drive_page(url, FIT_SCREENSHOT_PATH, "", dir, "fit");
  calyra.interrupt();
  ASSERT_EQ(calyra.wait(30), 0) << calyra.out() << calyra.err();
  ASSERT_EQ(driver, 0) << read_text(dir / "driver.err");
  const std::string seen = read_text(dir / "driver.out");
  EXPECT_NE(seen.find("\"count\":32"), std::string::npos) << seen;
  EXPECT_EQ(read_text(FIT_SCREENSHOT_PATH).substr(1, 3), "PNG");
  fs::remove_all(dir);
}

// Four headsets of eight electrodes on the page of every headset, in the
// same window: each headset's page fits its frame with every trace drawn.
TEST(view_browser, four_headsets_of_eight_electrodes_fit_side_by_side) {
  const fs::path dir = fs::temp_directory_path() / ("calyra_view_side_" + std::to_string(getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir / "profile");
  calyra::test::background_calyra calyra(
      CALYRA_PROGRAM, {"--virtual", "view", "CY WREN 1", "CY WREN 2", "CY WREN 3", "CY WREN 4"},
      {{"CYCORE_VIRTUAL_DEVICES", "CY WREN 1,model=0;CY WREN 2,model=0;CY WREN 3,model=0;CY WREN 4,model=0"}},
      dir.string());
  ASSERT_FALSE(calyra.wait_for_url(15).empty()) << calyra.out() << calyra.err();
  std::string url;
  const std::string marker = "Live view of every headset: ";
  for (int tries = 0; tries < 100 && url.empty(); ++tries) {
    const std::string out = calyra.out();
    const std::size_t at = out.find(marker);
    if (at != std::string::npos && out.find('\n', at) != std::string::npos) {
      url = out.substr(at + marker.size(), out.find('\n', at) - at - marker.size());
    }
    usleep(100000);
  }
  ASSERT_FALSE(url.empty()) << calyra.out();
  const int driver = drive_page(url, SIDE_SCREENSHOT_PATH, "", dir, "side");
  calyra.interrupt();
  ASSERT_EQ(calyra.wait(30), 0) << calyra.out() << calyra.err();
  ASSERT_EQ(driver, 0) << read_text(dir / "driver.err");
  const std::string seen = read_text(dir / "driver.out");
  for (const char* name : {"CY WREN 1", "CY WREN 2", "CY WREN 3", "CY WREN 4"}) {
    const std::size_t at = seen.find(std::string("\"device\":\"") + name);
    ASSERT_NE(at, std::string::npos) << seen;
    EXPECT_EQ(seen.compare(seen.find("\"count\":", at), 10, "\"count\":8,"), 0) << seen;
  }
  fs::remove_all(dir);
}

}  // namespace
