// Maps from the analog low-pass prototype to digital low-pass, high-pass,
// band-pass and band-stop layouts through a pre-warped bilinear transform.
// Each constructor performs the whole mapping; the objects live only while a
// design runs.
#pragma once

#include "dsp/layout.h"

namespace Dsp {

struct ComplexPair {
  complex_t first;
  complex_t second;
};

class LowPassTransform {
 public:
  LowPassTransform(double fc, LayoutBase& digital, const LayoutBase& analog);

 private:
  complex_t transform(complex_t c) const;
  double f;
};

class HighPassTransform {
 public:
  HighPassTransform(double fc, LayoutBase& digital, const LayoutBase& analog);

 private:
  complex_t transform(complex_t c) const;
  double f;
};

class BandPassTransform {
 public:
  BandPassTransform(double fc, double fw, LayoutBase& digital, const LayoutBase& analog);

 private:
  ComplexPair transform(complex_t c) const;
  double a;
  double b;
  double a2;
  double b2;
  double ab_2;
};

class BandStopTransform {
 public:
  BandStopTransform(double fc, double fw, LayoutBase& digital, const LayoutBase& analog);

 private:
  ComplexPair transform(complex_t c) const;
  double a;
  double b;
  double a2;
  double b2;
};

}  // namespace Dsp
