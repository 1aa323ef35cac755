#include "dsp/layout.h"

namespace Dsp {

void LayoutBase::addPoleZeroConjugatePairs(const complex_t& pole, const complex_t& zero) {
  PoleZeroPair& pair = m_pair[m_numPoles / 2];
  pair.poles[0] = pole;
  pair.poles[1] = std::conj(pole);
  pair.zeros[0] = zero;
  pair.zeros[1] = std::conj(zero);
  m_numPoles += 2;
}

void LayoutBase::add(const complex_t& pole, const complex_t& zero) {
  PoleZeroPair& pair = m_pair[m_numPoles / 2];
  pair.poles[0] = pole;
  pair.poles[1] = complex_t(0, 0);
  pair.zeros[0] = zero;
  pair.zeros[1] = complex_t(0, 0);
  m_numPoles += 1;
}

void LayoutBase::add(const complex_t (&poles)[2], const complex_t (&zeros)[2]) {
  PoleZeroPair& pair = m_pair[m_numPoles / 2];
  pair.poles[0] = poles[0];
  pair.poles[1] = poles[1];
  pair.zeros[0] = zeros[0];
  pair.zeros[1] = zeros[1];
  m_numPoles += 2;
}

}  // namespace Dsp
