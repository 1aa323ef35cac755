// Owning wrappers of liblsl's handles: each is destroyed with its library's
// own function, once.
#pragma once

#include <memory>
#include <string>
#include <type_traits>

#include "lsl/lsl_api.h"

namespace calyra::lsl {

template <typename Handle>
class owned {
 public:
  using destroyer = void (*)(Handle);

  owned() = default;
  owned(Handle handle, destroyer destroy) : handle_(handle), destroy_(destroy) {}
  owned(owned&& other) noexcept : handle_(other.handle_), destroy_(other.destroy_) { other.handle_ = nullptr; }
  owned& operator=(owned&& other) noexcept {
    if (this != &other) {
      reset();
      handle_ = other.handle_;
      destroy_ = other.destroy_;
      other.handle_ = nullptr;
    }
    return *this;
  }
  owned(const owned&) = delete;
  owned& operator=(const owned&) = delete;
  ~owned() { reset(); }

  Handle get() const { return handle_; }
  explicit operator bool() const { return handle_ != nullptr; }
  void reset() {
    if (handle_ != nullptr) destroy_(handle_);
    handle_ = nullptr;
  }

 private:
  Handle handle_ = nullptr;
  destroyer destroy_ = nullptr;
};

using owned_streaminfo = owned<streaminfo>;
using owned_outlet = owned<outlet>;
using owned_inlet = owned<inlet>;
using owned_resolver = owned<continuous_resolver>;

// A string liblsl allocated, copied and freed; empty for null.
inline std::string take_string(const api& library, char* text) {
  if (text == nullptr) return {};
  std::string copy(text);
  library.destroy_string(text);
  return copy;
}

// A string liblsl keeps (the getters of a stream description), copied.
inline std::string copy_string(const char* text) { return text != nullptr ? text : ""; }

}  // namespace calyra::lsl
