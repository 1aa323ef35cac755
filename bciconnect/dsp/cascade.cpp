#include "dsp/cascade.h"

#include <cmath>

namespace Dsp {

void Cascade::setCascadeStorage(const Storage& storage) {
  m_numStages = 0;
  m_maxStages = storage.maxStages;
  m_stageArray = storage.stageArray;
}

complex_t Cascade::response(double normalizedFrequency) const {
  const double w = normalizedFrequency * doublePi2;
  const complex_t czn1(std::cos(w), std::sin(-w));
  const double minus2w = -2 * w;
  const complex_t czn2(std::cos(minus2w), std::sin(minus2w));

  complex_t numerator(1.0);
  complex_t denominator(1.0);
  for (int i = 0; i < m_numStages; ++i) {
    const Biquad& stage = m_stageArray[i];
    const double a0 = stage.getA0();

    complex_t cb(1.0);
    complex_t ct(stage.getB0() / a0);
    ct = ct + (stage.getB1() / a0) * czn1;
    ct = ct + (stage.getB2() / a0) * czn2;
    cb = cb + (stage.getA1() / a0) * czn1;
    cb = cb + (stage.getA2() / a0) * czn2;

    numerator *= ct;
    denominator *= cb;
  }
  return numerator / denominator;
}

void Cascade::applyScale(double scale) {
  // Scaling one stage is enough; it keeps the others' gains at unity.
  if (m_numStages < 1) {
    return;
  }
  m_stageArray[0].applyScale(scale);
}

void Cascade::setLayout(const LayoutBase& proto) {
  const int numPoles = proto.getNumPoles();
  m_numStages = (numPoles + 1) / 2;

  for (int i = 0; i < m_numStages; ++i) {
    const PoleZeroPair& pair = proto[i];
    if (pair.isSinglePole()) {
      m_stageArray[i].setOnePole(pair.poles[0], pair.zeros[0]);
    } else {
      m_stageArray[i].setTwoPole(pair.poles[0], pair.zeros[0], pair.poles[1], pair.zeros[1]);
    }
  }

  const double scale =
      proto.getNormalGain() / std::abs(response(proto.getNormalW() / doublePi2));
  applyScale(scale);
}

}  // namespace Dsp
