// A chain of second-order sections built from a pole/zero layout.
#pragma once

#include "dsp/biquad.h"
#include "dsp/layout.h"

namespace Dsp {

class Cascade {
 public:
  struct Storage {
    Storage(int maxStages_, Biquad* stageArray_) : maxStages(maxStages_), stageArray(stageArray_) {}
    int maxStages;
    Biquad* stageArray;
  };

  int getNumStages() const { return m_numStages; }
  const Biquad& operator[](int index) const { return m_stageArray[index]; }

  // Complex response of the whole chain at a frequency in cycles per sample.
  complex_t response(double normalizedFrequency) const;

  // Multiplies the first stage's numerator only.
  void applyScale(double scale);

  void setCascadeStorage(const Storage& storage);

  // One stage per pole pair; then the chain is scaled so that its gain at
  // the layout's reference angle equals the layout's reference gain.
  void setLayout(const LayoutBase& proto);

 private:
  int m_numStages = 0;
  int m_maxStages = 0;
  Biquad* m_stageArray = nullptr;
};

}  // namespace Dsp
