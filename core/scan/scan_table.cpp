#include "scan/scan_table.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>

namespace calyra::core {
namespace {

struct table_storage {
  std::array<cy_scan_entry, CY_SCAN_TABLE_SIZE> entries{};
  char names[CY_SCAN_TABLE_SIZE][CY_SCAN_NAME_SIZE]{};
  char addresses[CY_SCAN_TABLE_SIZE][CY_SCAN_ADDRESS_SIZE]{};

  table_storage() {
    for (std::size_t i = 0; i < entries.size(); ++i) entries[i] = {names[i], addresses[i]};
  }
};

std::unique_ptr<table_storage> table;
std::int32_t found_devices = 0;

void copy_cut(char* buffer, std::size_t size, std::string_view text) {
  const std::size_t n = std::min(text.size(), size - 1);
  std::memcpy(buffer, text.data(), n);
  buffer[n] = '\0';
}

}  // namespace

void scan_table_create() { table = std::make_unique<table_storage>(); }

void scan_table_destroy() { table.reset(); }

namespace scan_table {

cy_scan_entry* entries() { return table ? table->entries.data() : nullptr; }

void clear() {
  found_devices = 0;
  if (!table) return;
  for (std::size_t i = 0; i < CY_SCAN_TABLE_SIZE; ++i) {
    table->names[i][0] = '\0';
    table->addresses[i][0] = '\0';
  }
}

bool append(std::string_view name, std::string_view address) {
  if (!table || found_devices >= CY_SCAN_TABLE_SIZE) return false;
  copy_cut(table->names[found_devices], CY_SCAN_NAME_SIZE, name);
  copy_cut(table->addresses[found_devices], CY_SCAN_ADDRESS_SIZE, address);
  ++found_devices;
  return true;
}

std::int32_t found_device_count() { return found_devices; }

}  // namespace scan_table
}  // namespace calyra::core
