// Butterworth designs: the analog low-pass prototype and the four digital
// setups built from it. A setup owns no arrays: the concrete filter object
// attaches its stage and pair slots before the first design.
#pragma once

#include "dsp/cascade.h"
#include "dsp/layout.h"

namespace Dsp::Butterworth {

// Poles of an order-n Butterworth low-pass on the unit circle of the s-plane,
// zeros at infinity, unity gain at DC.
class AnalogLowPass : public LayoutBase {
 public:
  AnalogLowPass() = default;

  // Does nothing when the order is the one already designed.
  void design(int numPoles);

  // Points the prototype at its pair slots (and forgets any design).
  void setStorage(const LayoutBase& storage) {
    LayoutBase::setStorage(storage);
    m_numPoles = -1;
  }

 private:
  int m_numPoles = -1;  // designedOrder
};

// The parts every setup shares: the stages, the digital layout and the
// prototype, in that order.
class SetupBase : public Cascade {
 public:
  // Attaches the caller's arrays: `analog` and `digital` carry their pair
  // capacity and slots, `stages` the stage slots.
  void setStorage(const LayoutBase& analog, const LayoutBase& digital, const Storage& stages) {
    setCascadeStorage(stages);
    m_digitalProto.setStorage(digital);
    m_analogProto.setStorage(analog);
  }

 protected:
  LayoutBase m_digitalProto;
  AnalogLowPass m_analogProto;
};

class LowPassBase : public SetupBase {
 public:
  void setup(int order, double sampleRate, double cutoffFrequency);
};

class HighPassBase : public SetupBase {
 public:
  void setup(int order, double sampleRate, double cutoffFrequency);
};

class BandPassBase : public SetupBase {
 public:
  void setup(int order, double sampleRate, double centerFrequency, double widthFrequency);
};

class BandStopBase : public SetupBase {
 public:
  void setup(int order, double sampleRate, double centerFrequency, double widthFrequency);
};

}  // namespace Dsp::Butterworth
