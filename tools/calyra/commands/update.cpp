#include <unistd.h>

#include <fstream>
#include <iostream>

#include "library/core_session.h"
#include "app/failure.h"
#include "device/headset.h"
#include "commands/commands.h"
#include "display/progress_bar.h"

namespace calyra::commands {
namespace {

struct progress_view {
  bool terminal = false;
  int last_decile = -1;
};

// Runs on the calling thread, between two image blocks.
void show_progress(void* user_data, std::size_t total, std::size_t sent) {
  auto& view = *static_cast<progress_view*>(user_data);
  const double fraction = total == 0 ? 1.0 : static_cast<double>(sent) / static_cast<double>(total);
  const std::string text = display::progress_bar(fraction, 40) + "  block " + std::to_string(sent) +
                           " of " + std::to_string(total);
  if (view.terminal) {
    std::cout << '\r' << text << std::flush;
    return;
  }
  // Outside a terminal, one line per tenth keeps logs short.
  const int decile = static_cast<int>(fraction * 10.0);
  if (decile != view.last_decile) {
    view.last_decile = decile;
    std::cout << text << std::endl;
  }
}

}  // namespace

int run_update(const cli::global_options& global, const cli::update_options& options) {
  std::ifstream image(options.image_path, std::ios::binary | std::ios::ate);
  if (!image) throw app::command_failure("cannot read the firmware image " + options.image_path);
  if (image.tellg() <= 0) throw app::command_failure("the firmware image is empty: " + options.image_path);
  image.close();

  library::core_session core(global, {0, options.image_path});
  device::headset h(options.device, device::firmware_policy::accept_incompatible);
  if (!cy_core_device_features_supports_ota(h.features())) {
    throw app::command_failure(h.name() + " (" + h.model_name() + ") does not take firmware updates");
  }
  std::cout << "Updating " << h.name() << " from firmware "
            << device::version_text(h.info().firmware_version) << " (waiting for the headset to accept)"
            << std::endl;
  progress_view view;
  view.terminal = isatty(STDOUT_FILENO) != 0;
  const cy_error result = cy_eeg_manager_start_update(h.handle(), show_progress, &view);
  if (view.terminal) std::cout << '\n';
  if (result != CY_OK) throw app::command_failure::from_code(result, "updating the firmware");
  std::cout << "Firmware image sent." << std::endl;
  return 0;
}

}  // namespace calyra::commands
