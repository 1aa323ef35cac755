// One second-order section: coefficients normalised by a0, built either
// directly or from its poles and zeros.
#pragma once

#include "dsp/common.h"

namespace Dsp {

class BiquadBase {
 public:
  double getA0() const { return m_a0; }
  // Stored coefficients are normalised; the getters hand back the
  // un-normalised value (k * a0), which callers divide by a0 again.
  double getA1() const { return m_a1 * m_a0; }
  double getA2() const { return m_a2 * m_a0; }
  double getB0() const { return m_b0 * m_a0; }
  double getB1() const { return m_b1 * m_a0; }
  double getB2() const { return m_b2 * m_a0; }

  // The normalised coefficients the recursion runs with.
  double a1() const { return m_a1; }
  double a2() const { return m_a2; }
  double b0() const { return m_b0; }
  double b1() const { return m_b1; }
  double b2() const { return m_b2; }

  void setCoefficients(double a0, double a1, double a2, double b0, double b1, double b2);
  void setOnePole(complex_t pole, complex_t zero);
  void setTwoPole(complex_t pole1, complex_t zero1, complex_t pole2, complex_t zero2);
  // Multiplies the numerator, i.e. the section's gain.
  void applyScale(double scale);

 private:
  // Field order a0, a1, a2, b1, b2, b0.
  double m_a0;
  double m_a1;
  double m_a2;
  double m_b1;
  double m_b2;
  double m_b0;
};

// A default-constructed section leaves its coefficients unset; designs always
// overwrite every stage they use.
class Biquad : public BiquadBase {};

}  // namespace Dsp
