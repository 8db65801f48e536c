#pragma once

// The simulated plant behind `quorlin sim`: what kind of quantity each point
// is (read from its node name), and how its value moves from second to second.
#include <cstddef>
#include <cstdint>
#include <random>
#include <string_view>
#include <vector>

namespace sim {

enum class Kind : uint8_t {
  // One byte, served as Boolean unless noted.
  AlarmFlag,    // alarms and faults: 0, now and then 1 for a while
  CommandFlag,  // manual commands: 0, now and then a one-second pulse
  OnFlag,       // auto, remote, power: 1, rarely 0
  StateFlag,    // run/start/stop, valve end positions, modes: change now and then
  StatusByte,   // "_status": a Byte 0..3 that changes now and then
  // Two and four bytes: drifting, growing or constant numbers.
  Temperature,  // °C
  Pressure,     // bar
  DiffPressure, // kPa
  Frequency,    // Hz (two-byte fields in 0.1 Hz)
  Percentage,
  Flow,         // m³/h
  Energy,       // kW
  Power,        // kW
  Current,      // A
  Torque,       // %
  Opening,      // valve and guide-vane opening, %
  Analog,       // other analog values
  Counter,      // run-time words and start counts: only grow
  Setpoint,     // settings, limits, counts and modes: constant
};

// How a point's value is served.
enum class Type : uint8_t { Boolean, Byte, Int16, Float };

struct PointModel {
  Kind kind;
  Type type;
  double lo;    // range of a drifting value; start of a counter; a setpoint's value
  double hi;    // for a counter: its rise per second; below 0.01 the counter
                // instead steps by 1 with that chance each second
};

// `name` is the node id with or without the "t|D3" prefix; `width` the
// field width (1, 2 or 4), which fixes the type.
PointModel classify(std::string_view name, unsigned width);

// How the plant moves. Lively: every analog value wanders every second and
// flags flip within minutes. Steady: as real sensors give them, analog values
// on their resolution, a step every few rounds around a slow daily drift, and
// flags that change within minutes to hours.
enum class Profile : uint8_t { Lively, Steady };

// The resolution a steady plant serves a drifting kind at (0.1 °C, 0.01 bar,
// 0.1 Hz, 1 %, ...); one for Int16 fields, whose unit already is the step.
// 0 for flags, counters and setpoints.
double resolution(Kind kind, Type type);

// All points of the table, moving one second per tick; the same seed and
// profile give the same values tick by tick.
class Plant {
 public:
  explicit Plant(uint32_t seed, Profile profile = Profile::Lively);
  void tick();
  const PointModel& model(std::size_t index) const { return models_[index]; }
  double value(std::size_t index) const { return values_[index]; }
  std::size_t size() const { return values_.size(); }

 private:
  void tick_steady();

  std::mt19937 rng_;
  Profile profile_;
  std::vector<PointModel> models_;
  std::vector<double> values_;
  // Steady only, per point: the chance per tick of a step or a flip, and for
  // analog values the daily drift (its middle and swing) they follow; for
  // counters the exact count, of which whole units are served.
  std::vector<double> rate_;
  std::vector<double> middle_;
  std::vector<double> swing_;
  uint64_t seconds_ = 0;  // of the simulated day, from a start drawn from the seed
};

// The constant value of `quorlin sim --fixed SEED` for the point at `index`
// (from 0): width 1 a Byte (index + seed) % 256, width 2 an Int16
// 3 * index - 4000 + seed, width 4 a Float (index - 1000) / 2 + seed.
double fixed_value(std::size_t index, unsigned width, unsigned seed);

}  // namespace sim
