// Firmware update over BLE. The exchange, all on the caller's thread:
//
//   subscribe ota_status -> block size (MTU - 3, two bytes LE) on ota_data
//   -> request 0x01 on ota_control -> wait 5 s for the acknowledgement
//   -> image blocks on ota_data, 10 ms apart -> done 0x04 on ota_control
//
// The headset answers on ota_status with one-byte codes; the handler logs
// them and sets the acknowledgement flag, the only thing it shares with the
// operation.
#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <ostream>
#include <system_error>
#include <thread>

#include "manager/eeg_manager_implementation.h"
#include "runtime/console.h"
#include "library/state.h"

namespace calyra::core {
namespace {

constexpr std::uint8_t request_command = 0x01;
constexpr std::uint8_t done_command = 0x04;
// The ATT write header takes 3 bytes of every write.
constexpr std::uint16_t att_write_header = 3;
constexpr auto acknowledgement_wait = std::chrono::microseconds(5000000);
constexpr auto block_interval = std::chrono::microseconds(10000);

// Readable here means it opens and is not a directory: a directory opens on
// Linux but yields no bytes, which would send an empty image as a success.
bool image_readable(const char* path) {
  std::error_code ignored;
  if (std::filesystem::is_directory(path, ignored)) return false;
  return std::ifstream(path, std::ios::binary).is_open();
}

std::uint64_t image_size(const char* path) {
  std::ifstream image(path, std::ios::binary | std::ios::ate);
  const std::streamoff end = image.tellg();
  return end > 0 ? static_cast<std::uint64_t>(end) : 0;
}

}  // namespace

ble::NotifyCallback eeg_manager_implementation::enable_ota_update() {
  return [this](const ble::ByteArray& payload, std::int64_t) { on_ota_status(payload); };
}

void eeg_manager_implementation::on_ota_status(const ble::ByteArray& payload) {
  if (payload.empty()) return;
  const char code = payload.front();
  // Unsubscribing from inside the handler does not wait for it. The link may
  // already be gone, and nothing may escape into the notification thread.
  const auto unsubscribe = [this] {
    try {
      const gatt::uuid_pair status = gatt::uuids(gatt::role::ota_status);
      current_peripheral().unsubscribe(status.service, status.characteristic);
    } catch (const std::exception& e) {
      log(log_level::ERROR, [&](std::ostream& out) {
        out << "Caught connection error: " << e.what();
      });
    }
  };
  try {
    switch (static_cast<std::uint8_t>(code)) {
      case 2:
        log_text(log_level::INFO, "OTA request acknowledged.");
        ota_acknowledged.exchange(true);
        break;
      case 3:
        unsubscribe();
        log_text(log_level::INFO, "OTA request NOT acknowledged.");
        ota_acknowledged.exchange(false);
        break;
      case 4:
        log_text(log_level::INFO, "Update done");
        break;
      case 5:
        log_text(log_level::INFO, "OTA done acknowledged.");
        unsubscribe();
        ota_acknowledged.exchange(true);
        break;
      case 6:
        log_text(log_level::INFO, "OTA done NOT acknowledged.");
        unsubscribe();
        ota_acknowledged.exchange(false);
        break;
      default:
        // The code goes into the line as one raw byte, whatever it is.
        log(log_level::INFO, [code](std::ostream& out) { out << "Unknown data. |" << code << '|'; });
        break;
    }
  } catch (const std::exception&) {
    // Only the logger can throw here (out of memory); the flag is already
    // consistent, and the notification thread must not see the exception.
  }
}

error eeg_manager_implementation::start_ota_update(ota_progress_callback callback,
                                                   void* user_data) {
  if (!connected) {
    return fail_logged(log_level::INFO, error::CONNECTION_ERROR,
                       [](std::ostream& out) { out << "Unable to start update - no connection to device"; });
  }
  // The ota_status subscription must not be made on a link that a connect or
  // disconnect on another thread is replacing or closing.
  std::lock_guard operation(stream_operation_mutex);
  if (!connected) {
    return fail_logged(log_level::INFO, error::CONNECTION_ERROR,
                       [](std::ostream& out) { out << "Unable to start update - no connection to device"; });
  }
  // An acknowledgement left over from an earlier exchange on this manager
  // must not let an unacknowledged update go ahead.
  ota_acknowledged.store(false);

  const char* const path = current_config().update_path;
  std::uint16_t block_size = 0;
  std::uint64_t size = 0;
  const error prepared = handle_errors([&] {
    const gatt::uuid_pair status = gatt::uuids(gatt::role::ota_status);
    peripheral.notify(status.service, status.characteristic, enable_ota_update());

    const std::uint16_t mtu = peripheral.mtu();
    if (mtu <= att_write_header) {
      // No room for a single image byte per write: the transfer could not end.
      throw ble::operation_failed_error("MTU " + std::to_string(mtu) +
                                        " leaves no room for firmware blocks");
    }
    block_size = static_cast<std::uint16_t>(mtu - att_write_header);
    write_characteristic(gatt::role::ota_data,
                         {static_cast<std::uint8_t>(block_size & 0xFF),
                          static_cast<std::uint8_t>(block_size >> 8)});

    const bool readable = image_readable(path);
    log(log_level::INFO, [&](std::ostream& out) {
      out << "Check if .bin file exist: " << (readable ? "Yes" : "No");
    });
    if (!readable) {
      log_text(log_level::DEBUG, "Update file not found");
      return fail(error::PRECONDITION_FAILED, [&](std::ostream& out) {
        out << "The firmware image " << path << " cannot be read (set update_path with cy_core_set_config)";
      });
    }
    // An empty image would send no block and still end as a success.
    size = image_size(path);
    if (size == 0) {
      log_text(log_level::ERROR, "Update file is empty");
      return fail(error::PRECONDITION_FAILED,
                  [&](std::ostream& out) { out << "The firmware image " << path << " is empty"; });
    }

    write_characteristic(gatt::role::ota_control, {request_command});
    std::this_thread::sleep_for(acknowledgement_wait);
    if (!ota_acknowledged.load()) {
      log_text(log_level::INFO, "OTA update update wasn't successful");
      return fail(error::UPDATE_FAILED, [](std::ostream& out) {
        out << "The headset did not acknowledge the update request within "
            << std::chrono::duration_cast<std::chrono::milliseconds>(acknowledgement_wait).count() << " ms";
      });
    }
    return error::OK;
  });
  if (prepared != error::OK) return prepared;

  const error sent = send_firmware_image(path, size, block_size, callback, user_data);
  if (sent != error::OK) return sent;

  log_text(log_level::INFO, "Finished sending");
  try {
    write_characteristic(gatt::role::ota_control, {done_command});
  } catch (...) {
    // The image is complete; the headset's answer to the closing command
    // arrives through the handler and does not change this result.
  }
  log_text(log_level::INFO, "OTA update done");
  return error::OK;
}

error eeg_manager_implementation::send_firmware_image(const char* path, std::uint64_t image_size,
                                                      std::uint16_t block_size,
                                                      ota_progress_callback callback,
                                                      void* user_data) {
  std::ifstream image(path, std::ios::binary);
  if (!image.is_open()) {
    return fail_logged(log_level::ERROR, error::UPDATE_EXCEPTION, [&](std::ostream& out) {
      out << "Update file could not be opened again: " << path;
    });
  }
  // The final partial block counts, so the last progress call has sent == total.
  const auto total = static_cast<std::size_t>((image_size + block_size - 1) / block_size);
  std::size_t sent = 0;
  try {
    std::vector<std::uint8_t> block(block_size);
    for (;;) {
      block.resize(block_size);
      image.read(reinterpret_cast<char*>(block.data()), block_size);
      const auto length = static_cast<std::size_t>(image.gcount());
      if (length == 0) break;
      block.resize(length);
      write_characteristic(gatt::role::ota_data, block);
      std::this_thread::sleep_for(block_interval);
      ++sent;
      if (callback != nullptr) callback(user_data, total, sent);
      if (length < block_size) break;
    }
    if (image.bad()) {
      // A read error, not the end of the file: the image is incomplete.
      return fail_logged(log_level::ERROR, error::UPDATE_EXCEPTION, [&](std::ostream& out) {
        out << "Update file could not be read after block " << sent << ": " << path;
      });
    }
  } catch (const std::runtime_error& e) {
    console::write_line(console::channel::standard_error, std::string("Runtime error: ") + e.what(),
                        log_level::ERROR, log_prefix);
    return fail(error::UPDATE_EXCEPTION, [&](std::ostream& out) {
      out << "The firmware update stopped after block " << sent << " of " << total << ": " << e.what();
    });
  } catch (const std::exception& e) {
    // Ends the transfer too: no block is sent twice, and the headset is left
    // to discard the incomplete image as after any aborted transfer.
    console::write_line(console::channel::standard_error, std::string("Exception: ") + e.what(),
                        log_level::ERROR, log_prefix);
    return fail(error::UPDATE_EXCEPTION, [&](std::ostream& out) {
      out << "The firmware update stopped after block " << sent << " of " << total << ": " << e.what();
    });
  } catch (...) {
    console::write_line(console::channel::standard_error, "An unknown error occurred", log_level::ERROR,
                        log_prefix);
    return fail(error::UPDATE_EXCEPTION, [&](std::ostream& out) {
      out << "The firmware update stopped after block " << sent << " of " << total << " on an unknown error";
    });
  }
  return error::OK;
}

}  // namespace calyra::core
