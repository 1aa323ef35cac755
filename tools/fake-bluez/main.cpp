// calyra-fake-bluez: a stand-in for bluetoothd that presents the virtual
// headsets as BlueZ objects on the system bus (the one
// DBUS_SYSTEM_BUS_ADDRESS names, when set). Runs until SIGTERM or SIGINT.
//
//   calyra-fake-bluez [--write-reply-delay-ms N] [--resolve-delay-ms N]
//                     [--connect-delay-ms N] [--adapters hciN[:off],...]
//                     [--devices-on hciN] [--no-acquire-notify]
//
// The headsets come from CYCORE_VIRTUAL_DEVICES, with the same syntax and
// defaults as the virtual backend. They are seen by one adapter: the one
// --devices-on names, else the first of --adapters (default: hci0, on).
#include <sdbus-c++/sdbus-c++.h>

#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "simulator/device_config.h"
#include "fake_bluez.h"

namespace {

using namespace calyra::fake_bluez;

void usage(std::ostream& out) {
  out << "usage: calyra-fake-bluez [--write-reply-delay-ms N] [--resolve-delay-ms N]\n"
         "                         [--connect-delay-ms N] [--adapters hciN[:off],...]\n"
         "                         [--devices-on hciN] [--no-acquire-notify]\n"
         "Owns org.bluez on the system bus (DBUS_SYSTEM_BUS_ADDRESS when set) and presents\n"
         "the virtual headsets of CYCORE_VIRTUAL_DEVICES (default: one per model).\n";
}

bool parse_ms(const char* text, std::chrono::milliseconds& out) {
  char* end = nullptr;
  const long value = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || value < 0 || value > 60000) return false;
  out = std::chrono::milliseconds(value);
  return true;
}

bool is_adapter_name(const std::string& name) {
  return name.size() > 3 && name.compare(0, 3, "hci") == 0 &&
         name.find_first_not_of("0123456789", 3) == std::string::npos;
}

// "hci0,hci1:off": names and power states.
bool parse_adapters(const std::string& text, std::vector<adapter_option>& out) {
  out.clear();
  std::size_t start = 0;
  while (start <= text.size()) {
    const std::size_t end = std::min(text.find(',', start), text.size());
    std::string entry = text.substr(start, end - start);
    adapter_option a;
    if (const auto colon = entry.find(':'); colon != std::string::npos) {
      if (entry.substr(colon + 1) != "off") return false;
      a.powered = false;
      entry.resize(colon);
    }
    if (!is_adapter_name(entry)) return false;
    a.name = entry;
    out.push_back(a);
    start = end + 1;
  }
  return !out.empty();
}

// Time until the earlier of the bus's and the fake's deadlines, to the
// microsecond (stream packets are due at the simulated radio's moments, and
// waking a millisecond late would add to every packet's delay); nullopt:
// no deadline.
std::optional<timespec> poll_timeout(const sdbus::IConnection::PollData& bus,
                                     std::optional<clock::time_point> fake) {
  std::int64_t wait_us = -1;
  if (bus.timeout_usec != std::numeric_limits<std::uint64_t>::max()) {
    const auto now_us = std::chrono::duration_cast<std::chrono::microseconds>(
                            clock::now().time_since_epoch()).count();
    wait_us = std::max<std::int64_t>(0, static_cast<std::int64_t>(bus.timeout_usec) - now_us);
  }
  if (fake) {
    const auto until = std::chrono::duration_cast<std::chrono::microseconds>(*fake - clock::now()).count();
    const std::int64_t fake_us = std::max<std::int64_t>(0, until);
    wait_us = wait_us < 0 ? fake_us : std::min(wait_us, fake_us);
  }
  if (wait_us < 0) return std::nullopt;
  return timespec{static_cast<time_t>(wait_us / 1000000), static_cast<long>(wait_us % 1000000 * 1000)};
}

}  // namespace

int main(int argc, char** argv) {
  options opts;
  bool devices_on_given = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      usage(std::cout);
      return 0;
    }
    if (arg == "--no-acquire-notify") {
      opts.acquire_notify = false;
      continue;
    }
    if (arg == "--adapters" && i + 1 < argc) {
      if (!parse_adapters(argv[++i], opts.adapters)) {
        std::cerr << "calyra-fake-bluez: --adapters needs a list like hci0,hci1:off\n";
        return 2;
      }
      if (!devices_on_given) opts.devices_on = opts.adapters.front().name;
      continue;
    }
    if (arg == "--devices-on" && i + 1 < argc) {
      opts.devices_on = argv[++i];
      devices_on_given = true;
      continue;
    }
    if ((arg == "--write-reply-delay-ms" || arg == "--resolve-delay-ms" || arg == "--connect-delay-ms") &&
        i + 1 < argc) {
      auto& target = arg == "--write-reply-delay-ms" ? opts.write_reply_delay
                     : arg == "--resolve-delay-ms"   ? opts.resolve_delay
                                                     : opts.connect_delay;
      if (!parse_ms(argv[++i], target)) {
        std::cerr << "calyra-fake-bluez: " << arg << " needs a number of milliseconds (0..60000)\n";
        return 2;
      }
      continue;
    }
    usage(std::cerr);
    return 2;
  }

  if (std::none_of(opts.adapters.begin(), opts.adapters.end(),
                   [&](const adapter_option& a) { return a.name == opts.devices_on; })) {
    std::cerr << "calyra-fake-bluez: --devices-on " << opts.devices_on << " is not one of the adapters\n";
    return 2;
  }
  std::vector<sim::device_config> devices;
  const char* list = std::getenv("CYCORE_VIRTUAL_DEVICES");
  try {
    devices = list && *list ? sim::parse_device_list(list) : sim::default_devices();
  } catch (const sim::device_list_error& e) {
    std::cerr << "calyra-fake-bluez: CYCORE_VIRTUAL_DEVICES: " << e.what() << "\n";
    return 2;
  }

  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGTERM);
  sigaddset(&stop_signals, SIGINT);
  sigprocmask(SIG_BLOCK, &stop_signals, nullptr);
  const int stop_fd = signalfd(-1, &stop_signals, SFD_CLOEXEC);

  try {
    auto connection = sdbus::createSystemBusConnection("org.bluez");
    connection->addObjectManager("/", sdbus::floating_slot);
    fake_bluez fake(*connection, std::move(devices), opts);
    std::cerr << "calyra-fake-bluez: org.bluez is ready on the system bus\n";
    while (true) {
      while (connection->processPendingRequest()) {
      }
      auto bus = connection->getEventLoopPollData();
      // Stream packets wait while the bus daemon has not taken the last ones.
      fake.run_due(clock::now(), (bus.events & POLLOUT) == 0);
      bus = connection->getEventLoopPollData();
      pollfd fds[2] = {{bus.fd, bus.events, 0}, {stop_fd, POLLIN, 0}};
      const std::optional<timespec> timeout = poll_timeout(bus, fake.next_deadline());
      if (::ppoll(fds, 2, timeout ? &*timeout : nullptr, nullptr) < 0 && errno != EINTR)
        throw std::runtime_error(std::strerror(errno));
      if (fds[1].revents & POLLIN) break;
    }
  } catch (const sdbus::Error& e) {
    std::cerr << "calyra-fake-bluez: " << e.getName() << ": " << e.getMessage() << "\n";
    return 1;
  } catch (const std::exception& e) {
    std::cerr << "calyra-fake-bluez: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
