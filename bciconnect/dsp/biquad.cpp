#include "dsp/biquad.h"

namespace Dsp {

void BiquadBase::setCoefficients(double a0, double a1, double a2, double b0, double b1,
                                 double b2) {
  m_a0 = a0;
  m_a1 = a1 / a0;
  m_a2 = a2 / a0;
  m_b0 = b0 / a0;
  m_b1 = b1 / a0;
  m_b2 = b2 / a0;
}

void BiquadBase::setOnePole(complex_t pole, complex_t zero) {
  // The zero enters as b0 = -zero, b1 = 1: the section's sign is flipped for a
  // zero at +1 (high-pass), which the forward-backward run cancels.
  setCoefficients(1, -pole.real(), 0, -zero.real(), 1, 0);
}

void BiquadBase::setTwoPole(complex_t pole1, complex_t zero1, complex_t pole2, complex_t zero2) {
  const double a0 = 1;
  double a1;
  double a2;
  // A NaN imaginary part also takes the conjugate-pair branch.
  if (pole1.imag() != 0) {
    a1 = pole1.real() * -2;
    a2 = pole1.real() * pole1.real() + pole1.imag() * pole1.imag();
  } else {
    a1 = -(pole1.real() + pole2.real());
    a2 = pole1.real() * pole2.real();
  }

  const double b0 = 1;
  double b1;
  double b2;
  if (zero1.imag() != 0) {
    b1 = zero1.real() * -2;
    b2 = zero1.real() * zero1.real() + zero1.imag() * zero1.imag();
  } else {
    b1 = -(zero2.real() + zero1.real());
    b2 = zero2.real() * zero1.real();
  }

  setCoefficients(a0, a1, a2, b0, b1, b2);
}

void BiquadBase::applyScale(double scale) {
  m_b0 *= scale;
  m_b1 *= scale;
  m_b2 *= scale;
}

}  // namespace Dsp
