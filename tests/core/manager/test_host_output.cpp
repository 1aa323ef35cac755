// The host owns the library's output: a log handler receives the lines (with
// or without the log file), and with the standard-output diagnostics off the
// library writes nothing to file descriptors 1 and 2, on any path.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "virtual_fixture.h"

namespace calyra::core::testing {
namespace {

struct handled_line {
  cy_log_level level;
  std::uint64_t thread;
  std::string text;
};

struct line_sink {
  std::mutex mutex;
  std::vector<handled_line> lines;

  static void handle(cy_log_level level, std::uint64_t thread, const char* text, void* self) {
    auto* sink = static_cast<line_sink*>(self);
    std::lock_guard lock(sink->mutex);
    sink->lines.push_back({level, thread, text});
  }
  bool has(cy_log_level level, const std::string& part) {
    std::lock_guard lock(mutex);
    for (const auto& line : lines) {
      if (line.level == level && line.text.find(part) != std::string::npos) return true;
    }
    return false;
  }
};

// Sends file descriptors 1 and 2 to a file while alive; `text()` ends the
// capture and returns what both received.
class fd_capture {
 public:
  explicit fd_capture(const std::string& path) : path_(path) {
    std::fflush(nullptr);
    saved_out_ = ::dup(1);
    saved_err_ = ::dup(2);
    const int file = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(file, 1);
    ::dup2(file, 2);
    ::close(file);
  }
  ~fd_capture() { restore(); }
  std::string text() {
    restore();
    std::ifstream in(path_);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }

 private:
  void restore() {
    if (saved_out_ < 0) return;
    std::cout.flush();
    std::cerr.flush();
    std::fflush(nullptr);
    ::dup2(saved_out_, 1);
    ::dup2(saved_err_, 2);
    ::close(saved_out_);
    ::close(saved_err_);
    saved_out_ = saved_err_ = -1;
  }
  std::string path_;
  int saved_out_ = -1;
  int saved_err_ = -1;
};

class HostOutput : public VirtualHeadsetTest {
 protected:
  void TearDown() override {
    cy_core_set_log_handler(nullptr, 0, nullptr);
    VirtualHeadsetTest::TearDown();
  }
  line_sink sink;
};

TEST_F(HostOutput, TheHandlerGetsEveryLineAtItsLevelWithOrWithoutTheFile) {
  ASSERT_EQ(cy_core_set_log_handler(&line_sink::handle, CY_LOG_LEVEL_INFO, &sink), CY_OK);
  ASSERT_EQ(cy_core_init(), CY_OK);  // the default configuration: no log file
  EXPECT_TRUE(sink.has(CY_LOG_LEVEL_INFO, "Calyra Core initialized."));
  cy_eeg_manager* m = new_manager();
  ASSERT_EQ(cy_virtual_configure("CY KESTREL 5"), CY_OK);
  EXPECT_EQ(cy_eeg_manager_connect(m, "CY NOBODY", nullptr, nullptr), CY_DEVICE_NOT_FOUND);
  EXPECT_TRUE(sink.has(CY_LOG_LEVEL_ERROR, "Device with name CY NOBODY not found"));
  {
    std::lock_guard lock(sink.mutex);
    for (const auto& line : sink.lines) {
      EXPECT_EQ(line.thread, static_cast<std::uint64_t>(::gettid())) << "written on this thread: " << line.text;
      EXPECT_GE(line.level, CY_LOG_LEVEL_INFO) << line.text;
      EXPECT_EQ(line.text.find("[INFO]"), std::string::npos) << "no prefixes: " << line.text;
    }
  }
  ASSERT_EQ(cy_core_close(), CY_OK);
  EXPECT_TRUE(sink.has(CY_LOG_LEVEL_INFO, "Calyra Core is closing"));

  // Beside the file: both hold the same line.
  cy_core_config with_file = logging_config();
  with_file.autoflush = true;
  init_with(with_file);
  EXPECT_TRUE(sink.has(CY_LOG_LEVEL_INFO, "CONFIG: chunk_size: 25"));
  EXPECT_GE(position_of("[INFO] CONFIG: chunk_size: 25"), 0);

  // Removed: no call after it returns.
  ASSERT_EQ(cy_core_set_log_handler(nullptr, 0, nullptr), CY_OK);
  const std::size_t before = sink.lines.size();
  EXPECT_EQ(cy_eeg_manager_connect(m, "CY NOBODY", nullptr, nullptr), CY_DEVICE_NOT_FOUND);
  EXPECT_EQ(sink.lines.size(), before);
  EXPECT_EQ(cy_core_set_log_handler(&line_sink::handle, 5, &sink), CY_PRECONDITION_FAILED);
}

// A handler that tries to replace itself is refused instead of waiting for
// itself; its own calls into the library do not come back to it.
TEST_F(HostOutput, AHandlerCannotReplaceItselfOrRecurse) {
  static std::atomic<int> depth{0};
  static std::atomic<int> refusals{0};
  static std::atomic<int> calls{0};
  const auto handler = [](cy_log_level, std::uint64_t, const char*, void*) {
    ++calls;
    ++depth;
    if (depth > 1) ADD_FAILURE() << "the handler was re-entered";
    if (cy_core_set_log_handler(nullptr, 0, nullptr) == CY_PRECONDITION_FAILED) ++refusals;
    --depth;
  };
  ASSERT_EQ(cy_core_set_log_handler(handler, CY_LOG_LEVEL_VERBOSE, nullptr), CY_OK);
  ASSERT_EQ(cy_core_init(), CY_OK);
  EXPECT_GT(calls.load(), 0);
  EXPECT_EQ(refusals.load(), calls.load());
}

TEST_F(HostOutput, WithTheSwitchOffFailurePathsWriteNothingToFdOneOrTwo) {
  cy_core_set_stdout_diagnostics(false);
  ASSERT_EQ(cy_core_set_log_handler(&line_sink::handle, CY_LOG_LEVEL_VERBOSE, &sink), CY_OK);
  fd_capture capture((dir_ / "fds.txt").string());

  EXPECT_EQ(cy_core_close(), CY_NOT_INITIALIZED);
  start_library("CY BADHW,hw=abc;CY KESTREL 5,pace=fast,loss=0.3,seed=3;CY OTA,pace=fast");
  cy_eeg_manager* m = new_manager();
  EXPECT_EQ(cy_eeg_manager_connect(m, "CY BADHW", nullptr, nullptr), CY_CONNECTION_ERROR);
  EXPECT_EQ(cy_eeg_manager_connect(m, "CY NOBODY", nullptr, nullptr), CY_DEVICE_NOT_FOUND);
  EXPECT_EQ(cy_eeg_manager_start_stream(m, nullptr, nullptr), CY_CONNECTION_ERROR);

  // A lossy stream after a configuration upload: the record and gap lines.
  ASSERT_EQ(cy_eeg_manager_connect(m, "CY KESTREL 5", nullptr, nullptr), CY_OK);
  cy_eeg_manager_set_channel_enabled(m, CY_CHANNEL_ELECTRODE_MEASUREMENT, true);
  ASSERT_EQ(cy_eeg_manager_load_config(m, nullptr, nullptr), CY_OK);
  ASSERT_EQ(cy_eeg_manager_start_stream(m, nullptr, nullptr), CY_OK);
  EXPECT_TRUE(eventually([&] { return sink.has(CY_LOG_LEVEL_WARNING, "|||||MISSED||||| "); }));
  ASSERT_EQ(cy_eeg_manager_stop_stream(m, nullptr, nullptr), CY_OK);

  // A firmware transfer cut by a link loss after its third block.
  cy_eeg_manager* ota = new_manager();
  ASSERT_EQ(cy_eeg_manager_connect(ota, "CY OTA", nullptr, nullptr), CY_OK);
  cy_core_config config{};
  ASSERT_EQ(cy_core_get_config(&config), CY_OK);
  const std::string image = (dir_ / "image.bin").string();
  std::ofstream(image, std::ios::binary) << std::string(20000, 'x');
  std::snprintf(config.update_path, sizeof config.update_path, "%s", image.c_str());
  ASSERT_EQ(cy_core_set_config(&config), CY_OK);
  const auto drop_at_third_block = [](void*, std::size_t, std::size_t sent) {
    if (sent == 3) cy_virtual_drop_link("CY OTA");
  };
  EXPECT_EQ(cy_eeg_manager_start_update(ota, drop_at_third_block, nullptr), CY_UPDATE_EXCEPTION);
  cy_eeg_manager_free(ota);
  forget(ota);
  cy_core_close();
  EXPECT_EQ(cy_core_close(), CY_NOT_INITIALIZED);

  EXPECT_EQ(capture.text(), "");
  // What the console would have shown is in the log instead.
  EXPECT_TRUE(sink.has(CY_LOG_LEVEL_WARNING, "Core not initialized. Please initialize core and try again."));
  EXPECT_TRUE(sink.has(CY_LOG_LEVEL_ERROR, "Error while connecting: stoi"));
  EXPECT_TRUE(sink.has(CY_LOG_LEVEL_INFO, "Config(4): "));
  EXPECT_TRUE(sink.has(CY_LOG_LEVEL_ERROR, "Runtime error: "));
}

TEST_F(HostOutput, WithTheSwitchOnTheConsoleLinesStayWhereTheyWere) {
  fd_capture capture((dir_ / "fds.txt").string());
  EXPECT_EQ(cy_core_close(), CY_NOT_INITIALIZED);
  EXPECT_EQ(capture.text(), "Core not initialized. Please initialize core and try again.\n");
}

}  // namespace
}  // namespace calyra::core::testing
