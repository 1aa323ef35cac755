// A chain of the library's online Butterworth filters over the electrode
// columns of a stream, fed chunk by chunk as the rows arrive.
#pragma once

#include <cybciconnect.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace calyra::filtering {

class causal_filter {
 public:
  // Every channel starts in the steady state of its first real sample, so an
  // electrode offset does not ring. Throws std::invalid_argument with the
  // library's explanation when a design is refused.
  causal_filter(const std::vector<cy_bci_filter_stage>& stages, double rate_hz,
                std::size_t channels);

  // Filters the next n samples: columns[ch] points at channel ch's samples,
  // streaming[i] == 0 marks a filler row for lost samples. The filter sees
  // neither fillers nor non-finite values: they would make it ring for
  // seconds or poison it for good, so it gets the channel's last real sample
  // in their place. Writes channels x n filtered values, channel-major, to
  // out.
  void process(const std::vector<const double*>& columns, const std::uint8_t* streaming,
               std::size_t n, std::vector<double>& out);

 private:
  struct release {
    void operator()(cy_bci_online_filter* f) const { cy_bci_online_filter_free(f); }
  };
  std::unique_ptr<cy_bci_online_filter, release> filter_;
  std::vector<double> last_;  // per channel, the last real sample
  std::vector<bool> seen_;    // per channel, whether a real sample has come
};

}  // namespace calyra::filtering
