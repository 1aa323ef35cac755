#include "dsp/butterworth.h"

#include <cmath>

#include "dsp/transforms.h"

namespace Dsp::Butterworth {

void AnalogLowPass::design(int numPoles) {
  if (m_numPoles == numPoles) {
    return;
  }
  m_numPoles = numPoles;
  reset();

  const double n2 = 2 * numPoles;
  const int pairs = numPoles / 2;
  for (int i = 0; i < pairs; ++i) {
    const double theta = double(2 * i + 1) * doublePi / n2 + doublePi_2;
    const complex_t c(std::cos(theta), std::sin(theta));
    addPoleZeroConjugatePairs(c, infinity());
  }
  if (numPoles & 1) {
    add(complex_t(-1), infinity());
  }
}

void LowPassBase::setup(int order, double sampleRate, double cutoffFrequency) {
  m_analogProto.design(order);
  LowPassTransform(cutoffFrequency / sampleRate, m_digitalProto, m_analogProto);
  Cascade::setLayout(m_digitalProto);
}

void HighPassBase::setup(int order, double sampleRate, double cutoffFrequency) {
  m_analogProto.design(order);
  HighPassTransform(cutoffFrequency / sampleRate, m_digitalProto, m_analogProto);
  Cascade::setLayout(m_digitalProto);
}

void BandPassBase::setup(int order, double sampleRate, double centerFrequency,
                         double widthFrequency) {
  m_analogProto.design(order);
  BandPassTransform(centerFrequency / sampleRate, widthFrequency / sampleRate, m_digitalProto,
                    m_analogProto);
  Cascade::setLayout(m_digitalProto);
}

void BandStopBase::setup(int order, double sampleRate, double centerFrequency,
                         double widthFrequency) {
  m_analogProto.design(order);
  BandStopTransform(centerFrequency / sampleRate, widthFrequency / sampleRate, m_digitalProto,
                    m_analogProto);
  Cascade::setLayout(m_digitalProto);
}

}  // namespace Dsp::Butterworth
