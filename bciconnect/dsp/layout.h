// Pole/zero layouts: the analog prototype and the digital filter both
// describe themselves as a list of pole/zero pairs plus the frequency at which
// the cascade's gain is fixed.
#pragma once

#include "dsp/common.h"

namespace Dsp {

// pole1, pole2, zero1, zero2. A single pole leaves pole2 and zero2 at (0, 0).
struct PoleZeroPair {
  complex_t poles[2];
  complex_t zeros[2];

  bool isSinglePole() const {
    return poles[1] == complex_t(0, 0) && zeros[1] == complex_t(0, 0);
  }
};

// A layout writes into pair slots its owner provides; the owner sizes them
// for the order it designs, nothing here checks the capacity.
class LayoutBase {
 public:
  LayoutBase() = default;
  LayoutBase(int maxPoles, PoleZeroPair* pairs)
      : m_maxPoles(maxPoles), m_pair(pairs) {}

  void setStorage(const LayoutBase& other) {
    m_numPoles = 0;
    m_maxPoles = other.m_maxPoles;
    m_pair = other.m_pair;
  }

  void reset() { m_numPoles = 0; }

  int getNumPoles() const { return m_numPoles; }

  // Appends p with its conjugate and z with its conjugate.
  void addPoleZeroConjugatePairs(const complex_t& pole, const complex_t& zero);
  // Appends one real pole and zero.
  void add(const complex_t& pole, const complex_t& zero);
  // Appends two poles and two zeros as they are.
  void add(const complex_t (&poles)[2], const complex_t (&zeros)[2]);

  const PoleZeroPair& getPair(int pairIndex) const { return m_pair[pairIndex]; }
  const PoleZeroPair& operator[](int pairIndex) const { return getPair(pairIndex); }

  double getNormalW() const { return m_normalW; }
  double getNormalGain() const { return m_normalGain; }
  void setNormal(double w, double g) {
    m_normalW = w;
    m_normalGain = g;
  }

 private:
  int m_numPoles = 0;
  int m_maxPoles = 0;
  PoleZeroPair* m_pair = nullptr;
  double m_normalW = 0;     // referenceAngle, radians in [0, pi]
  double m_normalGain = 1;  // referenceGain
};

}  // namespace Dsp
