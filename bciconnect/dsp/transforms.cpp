#include "dsp/transforms.h"

#include <algorithm>
#include <cmath>

namespace Dsp {

namespace {

// Band edges for a centre and a width (both in cycles per sample): the upper
// edge comes from the unclamped lower one, then both are kept off 0 and pi.
struct BandEdges {
  double lower;
  double upper;
};

BandEdges bandEdges(double fc, double fw) {
  const double ww = fw * doublePi2;
  double wl = fc * doublePi2 - ww * 0.5;
  double wu = wl + ww;
  wl = std::max(wl, bandEdgeLow);
  wu = std::min(wu, bandEdgeHigh);
  return {wl, wu};
}

complex_t bilinear(complex_t c) {
  return (1.0 + c) / (1.0 - c);
}

// Low-pass and high-pass map each analog pole and zero to one digital pole
// and zero: conjugate pairs first, then the real pole of an odd order.
template <class Map>
void mapPolesOneToOne(LayoutBase& digital, const LayoutBase& analog, Map map) {
  const int numPoles = analog.getNumPoles();
  const int pairs = numPoles / 2;
  for (int i = 0; i < pairs; ++i) {
    const PoleZeroPair& pair = analog[i];
    digital.addPoleZeroConjugatePairs(map(pair.poles[0]), map(pair.zeros[0]));
  }
  if (numPoles & 1) {
    const PoleZeroPair& pair = analog[pairs];
    digital.add(map(pair.poles[0]), map(pair.zeros[0]));
  }
}

}  // namespace

LowPassTransform::LowPassTransform(double fc, LayoutBase& digital, const LayoutBase& analog) {
  digital.reset();
  f = std::tan(fc * doublePi);

  mapPolesOneToOne(digital, analog, [this](complex_t c) { return transform(c); });
  digital.setNormal(analog.getNormalW(), analog.getNormalGain());
}

complex_t LowPassTransform::transform(complex_t c) const {
  if (isInfinity(c)) {
    return complex_t(-1, 0);
  }
  c = complex_t(f * c.real(), f * c.imag());
  return bilinear(c);
}

HighPassTransform::HighPassTransform(double fc, LayoutBase& digital, const LayoutBase& analog) {
  digital.reset();
  f = 1. / std::tan(fc * doublePi);

  mapPolesOneToOne(digital, analog, [this](complex_t c) { return transform(c); });
  digital.setNormal(doublePi - analog.getNormalW(), analog.getNormalGain());
}

complex_t HighPassTransform::transform(complex_t c) const {
  if (isInfinity(c)) {
    return complex_t(1, 0);
  }
  c = complex_t(f * c.real(), f * c.imag());
  return -(1.0 + c) / (1.0 - c);
}

BandPassTransform::BandPassTransform(double fc, double fw, LayoutBase& digital,
                                     const LayoutBase& analog) {
  digital.reset();

  const BandEdges edges = bandEdges(fc, fw);
  a = std::cos((edges.upper + edges.lower) * 0.5) / std::cos((edges.upper - edges.lower) * 0.5);
  b = 1 / std::tan((edges.upper - edges.lower) * 0.5);
  a2 = a * a;
  b2 = b * b;
  ab_2 = 2 * (a * b);

  const int numPoles = analog.getNumPoles();
  const int pairs = numPoles / 2;
  for (int i = 0; i < pairs; ++i) {
    const PoleZeroPair& pair = analog[i];
    const ComplexPair p = transform(pair.poles[0]);
    const ComplexPair z = transform(pair.zeros[0]);
    digital.addPoleZeroConjugatePairs(p.first, z.first);
    digital.addPoleZeroConjugatePairs(p.second, z.second);
  }
  if (numPoles & 1) {
    const PoleZeroPair& pair = analog[pairs];
    const ComplexPair p = transform(pair.poles[0]);
    const ComplexPair z = transform(pair.zeros[0]);
    digital.add({p.first, p.second}, {z.first, z.second});
  }

  // Unity gain at the band's geometric centre.
  const double wn = analog.getNormalW();
  digital.setNormal(
      2 * std::atan(std::sqrt(std::tan((wn + edges.upper) * 0.5) *
                              std::tan((wn + edges.lower) * 0.5))),
      analog.getNormalGain());
}

ComplexPair BandPassTransform::transform(complex_t c) const {
  if (isInfinity(c)) {
    return {complex_t(-1), complex_t(1)};
  }

  c = bilinear(c);

  const double t = (a2 - 1) * b2;
  complex_t v = (4 * (t + 1)) * c + 8 * (t - 1);
  v = v * c + 4 * (t + 1);
  v = std::sqrt(v);

  const complex_t u = (ab_2 * c - v) + ab_2;
  v = (ab_2 * c + v) + ab_2;

  const complex_t d = (2 * (b - 1)) * c + 2 * (1 + b);

  return {u / d, v / d};
}

BandStopTransform::BandStopTransform(double fc, double fw, LayoutBase& digital,
                                     const LayoutBase& analog) {
  digital.reset();

  const BandEdges edges = bandEdges(fc, fw);
  a = std::cos((edges.upper + edges.lower) * 0.5) / std::cos((edges.upper - edges.lower) * 0.5);
  b = std::tan((edges.upper - edges.lower) * 0.5);
  a2 = a * a;
  b2 = b * b;

  const int numPoles = analog.getNumPoles();
  const int pairs = numPoles / 2;
  for (int i = 0; i < pairs; ++i) {
    const PoleZeroPair& pair = analog[i];
    const ComplexPair p = transform(pair.poles[0]);
    ComplexPair z = transform(pair.zeros[0]);
    // Both zeros of a pair land on the same point of the unit circle; the
    // second is taken as the conjugate so each stage gets a conjugate pair.
    if (z.second == z.first) {
      z.second = std::conj(z.first);
    }
    digital.addPoleZeroConjugatePairs(p.first, z.first);
    digital.addPoleZeroConjugatePairs(p.second, z.second);
  }
  if (numPoles & 1) {
    const PoleZeroPair& pair = analog[pairs];
    const ComplexPair p = transform(pair.poles[0]);
    const ComplexPair z = transform(pair.zeros[0]);
    digital.add({p.first, p.second}, {z.first, z.second});
  }

  // Unity gain at Nyquist for centres below a quarter of the rate, else at DC.
  digital.setNormal(fc < 0.25 ? doublePi : 0, analog.getNormalGain());
}

ComplexPair BandStopTransform::transform(complex_t c) const {
  if (isInfinity(c)) {
    c = complex_t(-1);
  } else {
    c = bilinear(c);
  }

  complex_t u = (4 * ((b2 + a2) - 1)) * c + 8 * ((b2 - a2) + 1);
  u = u * c + 4 * ((b2 + a2) - 1);
  u = std::sqrt(u);

  complex_t v = u * -.5;
  v = (v + a) - a * c;
  u = (u * .5 + a) - a * c;

  const complex_t d = (b + 1) + (b - 1) * c;

  return {u / d, v / d};
}

}  // namespace Dsp
