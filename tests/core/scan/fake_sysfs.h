// Builds fake sysfs class trees in a temporary folder.
#pragma once

#include <filesystem>
#include <fstream>
#include <string>

#include <unistd.h>

namespace calyra::test {

class fake_sysfs {
 public:
  explicit fake_sysfs(const std::string& tag)
      : root_(std::filesystem::temp_directory_path() /
              ("cy_sysfs_" + tag + "_" + std::to_string(::getpid()))) {
    std::filesystem::remove_all(root_);
    std::filesystem::create_directories(root_);
  }
  ~fake_sysfs() { std::filesystem::remove_all(root_); }

  const std::filesystem::path& root() const { return root_; }

  // A populated bluetooth class with one controller.
  fake_sysfs& with_controller() {
    std::filesystem::create_directories(root_ / "bluetooth" / "hci0");
    return *this;
  }
  fake_sysfs& with_empty_bluetooth_class() {
    std::filesystem::create_directories(root_ / "bluetooth");
    return *this;
  }
  fake_sysfs& with_empty_rfkill_class() {
    std::filesystem::create_directories(root_ / "rfkill");
    return *this;
  }
  // One rfkill switch; an empty value leaves that file out.
  fake_sysfs& with_switch(const std::string& name, const std::string& type, const std::string& soft,
                          const std::string& hard) {
    const auto dir = root_ / "rfkill" / name;
    std::filesystem::create_directories(dir);
    std::ofstream(dir / "type") << type << "\n";
    if (!soft.empty()) std::ofstream(dir / "soft") << soft << "\n";
    if (!hard.empty()) std::ofstream(dir / "hard") << hard << "\n";
    return *this;
  }

 private:
  std::filesystem::path root_;
};

}  // namespace calyra::test
