#include "sim_model.h"

#include "point_table.h"

#include <algorithm>
#include <cmath>
#include <string>

namespace sim {
namespace {

bool has(std::string_view name, std::string_view part) {
  return name.find(part) != std::string_view::npos;
}
bool ends(std::string_view name, std::string_view tail) {
  return name.size() >= tail.size() && name.substr(name.size() - tail.size()) == tail;
}

PointModel flag(std::string_view n) {
  if (ends(n, "_status")) return {Kind::StatusByte, Type::Byte, 0, 3};
  if (has(n, "Alarm") || ends(n, "_Fault")) return {Kind::AlarmFlag, Type::Boolean, 0, 1};
  if (ends(n, "M_Start") || ends(n, "M_Stop") || ends(n, "M_Open") || ends(n, "M_Close") ||
      ends(n, "Reset"))
    return {Kind::CommandFlag, Type::Boolean, 0, 1};
  if (ends(n, "_Auto") || ends(n, "_Remote") || ends(n, "_Power"))
    return {Kind::OnFlag, Type::Boolean, 0, 1};
  return {Kind::StateFlag, Type::Boolean, 0, 1};
}

PointModel setpoint(double value) { return {Kind::Setpoint, Type::Float, value, value}; }

// Typical plant values: chilled water 7/12 °C, condenser water 30/35 °C.
PointModel temperature(std::string_view n) {
  auto t = [](double lo, double hi) { return PointModel{Kind::Temperature, Type::Float, lo, hi}; };
  if (has(n, "湿球")) return t(18, 26);
  if (has(n, "油")) return t(40, 50);
  if (has(n, "冷凝器")) return has(n, "出水") ? t(33, 37) : has(n, "饱和") ? t(36, 40) : t(29, 32);
  if (has(n, "蒸发器")) return has(n, "进水") ? t(11, 13) : has(n, "饱和") ? t(4, 6) : t(6.5, 8);
  if (has(n, "回水")) return t(11.5, 13.5);
  if (has(n, "进水") || has(n, "供水") || has(n, "出水") || has(n, "控制温度")) return t(6.5, 8.5);
  return t(15, 30);
}

PointModel pressure(std::string_view n) {
  auto p = [](double lo, double hi) { return PointModel{Kind::Pressure, Type::Float, lo, hi}; };
  if (has(n, "冷凝")) return p(8.5, 10);
  if (has(n, "蒸发")) return p(3.2, 3.8);
  if (has(n, "油")) return p(2.0, 3.5);
  if (has(n, "回水")) return p(2.2, 2.8);
  return p(3.0, 4.0);
}

PointModel four_byte(std::string_view n) {
  // Settings and limits stay where the operator put them.
  if (ends(n, "AlarmHH_Set")) return setpoint(95);
  if (ends(n, "AlarmH_Set")) return setpoint(90);
  if (ends(n, "AlarmLL_Set")) return setpoint(5);
  if (ends(n, "AlarmL_Set")) return setpoint(10);
  if (ends(n, "RangeH_Set")) return setpoint(100);
  if (ends(n, "RangeL_Set")) return setpoint(0);
  if (ends(n, "HZ_Set")) return setpoint(45);
  if (ends(n, "Opening_Set")) return setpoint(60);
  // Run time in hours and in minutes; a float counter only ever rounds upwards.
  if (has(n, "TTime_M")) return {Kind::Counter, Type::Float, 720000, 1.0 / 60};
  if (has(n, "TTime") || has(n, "运行时间")) return {Kind::Counter, Type::Float, 12000, 1.0 / 3600};
  if (has(n, "启动次数")) return {Kind::Counter, Type::Float, 350, 0.002};
  if (has(n, "设定")) {
    if (has(n, "高限")) return setpoint(50);
    if (has(n, "低限")) return setpoint(25);
    if (has(n, "延时") || has(n, "间隔")) return setpoint(300);
    if (has(n, "百分比")) return setpoint(has(n, "减机") ? 30 : 80);
    if (has(n, "压差")) return setpoint(80);
    if (has(n, "流量")) return setpoint(200);
    if (has(n, "湿球")) return setpoint(has(n, "H设定") ? 16 : has(n, "L设定") ? 12 : 14);
    if (has(n, "冷塔")) return setpoint(30);
    if (has(n, "温差")) return setpoint(5);
    if (has(n, "温度")) return setpoint(7);
    return setpoint(1);
  }
  if (has(n, "数量")) return setpoint(has(n, "最小") ? 1 : 2);
  if (has(n, "模式")) return setpoint(1);
  if (has(n, "剩余时间")) return setpoint(0);
  if (has(n, "温差")) return {Kind::Temperature, Type::Float, 4, 6};
  if (has(n, "温度")) return temperature(n);
  if (has(n, "压差")) return {Kind::DiffPressure, Type::Float, 60, 120};
  if (has(n, "压力")) return pressure(n);
  if (has(n, "百分比")) return {Kind::Percentage, Type::Float, 40, 100};
  if (has(n, "HZ_PV") || has(n, "频率")) return {Kind::Frequency, Type::Float, 35, 50};
  if (has(n, "流量")) return {Kind::Flow, Type::Float, 100, 400};
  if (has(n, "能量")) return {Kind::Energy, Type::Float, 200, 800};
  if (has(n, "功率")) return {Kind::Power, Type::Float, 50, 250};
  if (has(n, "电流")) return {Kind::Current, Type::Float, 40, 300};
  if (has(n, "Opening_PV") || has(n, "开度")) return {Kind::Opening, Type::Float, 20, 90};
  return {Kind::Analog, Type::Float, 20, 80};
}

PointModel two_byte(std::string_view n) {
  auto i = [](Kind k, double lo, double hi) { return PointModel{k, Type::Int16, lo, hi}; };
  if (has(n, "HZ_PV")) return i(Kind::Frequency, 350, 500);  // 0.1 Hz
  if (has(n, "功率")) return i(Kind::Power, 10, 90);
  if (has(n, "电流")) return i(Kind::Current, 20, 150);
  if (has(n, "转矩")) return i(Kind::Torque, 30, 90);
  return {Kind::Setpoint, Type::Int16, 1, 1};
}

double uniform(std::mt19937& rng, double lo, double hi) {
  return std::uniform_real_distribution<double>(lo, hi)(rng);
}
bool chance(std::mt19937& rng, double p) { return uniform(rng, 0, 1) < p; }

bool drifting(Kind kind) { return kind >= Kind::Temperature && kind <= Kind::Analog; }

// A steady plant's flags: alarms come up about twice a day and clear within a
// quarter of an hour; auto/remote/power drop about once a day for minutes;
// a manual command is a one-second pulse every few hours.
constexpr double kAlarmUp = 1.0 / (12 * 3600), kAlarmDown = 1.0 / 900;
constexpr double kOnDrop = 1.0 / 86400, kOnBack = 1.0 / 300;
constexpr double kCommand = 1.0 / (4 * 3600);
constexpr double kDay = 86400;
constexpr double kPi = 3.14159265358979323846;

}  // namespace

double resolution(Kind kind, Type type) {
  if (!drifting(kind)) return 0;
  if (type == Type::Int16) return 1;
  switch (kind) {
    case Kind::Pressure: return 0.01;
    case Kind::Percentage:
    case Kind::Torque:
    case Kind::Opening: return 1;
    default: return 0.1;
  }
}

PointModel classify(std::string_view name, unsigned width) {
  if (name.substr(0, 4) == "t|D3") name.remove_prefix(4);
  if (width == 1) return flag(name);
  if (width == 2) return two_byte(name);
  return four_byte(name);
}

Plant::Plant(uint32_t seed, Profile profile) : rng_(seed), profile_(profile) {
  models_.reserve(kQuorlinPointCount);
  values_.reserve(kQuorlinPointCount);
  for (std::size_t i = 0; i < kQuorlinPointCount; ++i) {
    const QuorlinPoint& p = quorlin_points[i];
    const PointModel m = classify(p.name, p.width);
    double v = 0;
    switch (m.kind) {
      case Kind::AlarmFlag:
      case Kind::CommandFlag: v = 0; break;
      case Kind::OnFlag: v = 1; break;
      case Kind::StateFlag: v = chance(rng_, 0.5) ? 1 : 0; break;
      case Kind::StatusByte: v = 1; break;
      case Kind::Setpoint: v = m.lo; break;
      case Kind::Counter: v = std::floor(m.lo * uniform(rng_, 0.5, 1.5)); break;
      default: v = uniform(rng_, m.lo, m.hi); break;
    }
    if (m.type == Type::Int16) v = std::round(v);
    models_.push_back(m);
    values_.push_back(v);
  }
  if (profile_ == Profile::Lively) return;

  // Drawn after the lively plant's draws, which stay as they were.
  seconds_ = static_cast<uint64_t>(uniform(rng_, 0, kDay));
  rate_.assign(values_.size(), 0);
  middle_.assign(values_.size(), 0);
  swing_.assign(values_.size(), 0);
  for (std::size_t i = 0; i < values_.size(); ++i) {
    const PointModel& m = models_[i];
    if (m.kind == Kind::StateFlag || m.kind == Kind::StatusByte) {
      rate_[i] = 1 / uniform(rng_, 600, 4 * 3600);  // a change every 10 min to 4 h
    } else if (m.kind == Kind::Counter) {
      middle_[i] = values_[i];  // the exact count
    } else if (drifting(m.kind)) {
      // A step every 2 to 8 rounds of 5 s; the day swings by up to a fifth
      // of the range, rising and falling with the day (or against it).
      rate_[i] = 1 / (5 * uniform(rng_, 2, 8));
      const double span = m.hi - m.lo;
      const double swing = uniform(rng_, 0.05, 0.2) * span;
      middle_[i] = uniform(rng_, m.lo + swing, m.hi - swing);
      swing_[i] = chance(rng_, 0.7) ? swing : -swing;
      const double step = resolution(m.kind, m.type);
      const double drift = std::sin(2 * kPi * static_cast<double>(seconds_) / kDay);
      values_[i] = std::clamp(std::round((middle_[i] + swing_[i] * drift) / step),
                              std::ceil(m.lo / step), std::floor(m.hi / step)) * step;
    }
  }
}

void Plant::tick() {
  if (profile_ == Profile::Steady) {
    tick_steady();
    return;
  }
  for (std::size_t i = 0; i < values_.size(); ++i) {
    const PointModel& m = models_[i];
    double& v = values_[i];
    switch (m.kind) {
      case Kind::AlarmFlag:
        if (v == 0 ? chance(rng_, 0.0002) : chance(rng_, 0.05)) v = 1 - v;
        break;
      case Kind::CommandFlag:
        v = chance(rng_, 0.0005) ? 1 : 0;
        break;
      case Kind::OnFlag:
        if (v == 1 ? chance(rng_, 0.0002) : chance(rng_, 0.1)) v = 1 - v;
        break;
      case Kind::StateFlag:
        if (chance(rng_, 0.002)) v = 1 - v;
        break;
      case Kind::StatusByte:
        if (chance(rng_, 0.002)) v = std::uniform_int_distribution<int>(0, 3)(rng_);
        break;
      case Kind::Setpoint:
        break;
      case Kind::Counter:
        v += m.hi < 0.01 ? (chance(rng_, m.hi) ? 1 : 0) : m.hi;
        break;
      default: {
        // A random walk that is pulled back towards the middle of its range.
        const double span = m.hi - m.lo;
        const double mid = (m.lo + m.hi) / 2;
        v += uniform(rng_, -0.02, 0.02) * span + (mid - v) * 0.01;
        if (m.type == Type::Int16) v = std::round(v);
        v = std::clamp(v, m.lo, m.hi);
        break;
      }
    }
  }
}

void Plant::tick_steady() {
  ++seconds_;
  const double drift = std::sin(2 * kPi * static_cast<double>(seconds_ % 86400) / kDay);
  for (std::size_t i = 0; i < values_.size(); ++i) {
    const PointModel& m = models_[i];
    double& v = values_[i];
    switch (m.kind) {
      case Kind::AlarmFlag:
        if (chance(rng_, v == 0 ? kAlarmUp : kAlarmDown)) v = 1 - v;
        break;
      case Kind::CommandFlag:
        v = chance(rng_, kCommand) ? 1 : 0;
        break;
      case Kind::OnFlag:
        if (chance(rng_, v == 1 ? kOnDrop : kOnBack)) v = 1 - v;
        break;
      case Kind::StateFlag:
        if (chance(rng_, rate_[i])) v = 1 - v;
        break;
      case Kind::StatusByte:
        if (chance(rng_, rate_[i])) v = std::uniform_int_distribution<int>(0, 3)(rng_);
        break;
      case Kind::Setpoint:
        break;
      case Kind::Counter:
        // Whole hours, minutes and starts, as a controller counts them.
        if (m.hi >= 0.01) middle_[i] += m.hi;
        else if (chance(rng_, m.hi / 10)) middle_[i] += 1;
        v = std::floor(middle_[i] + 1e-9);
        break;
      default: {
        // One step towards the drifting value; within half a step of it the
        // reading flickers by a step either way, as a sensor on a boundary.
        if (!chance(rng_, rate_[i])) break;
        const double step = resolution(m.kind, m.type);
        double n = std::round(v / step);
        const double off = (middle_[i] + swing_[i] * drift) / step - n;
        n += off > 0.5 ? 1 : off < -0.5 ? -1 : chance(rng_, 0.5) ? 1 : -1;
        v = std::clamp(n, std::ceil(m.lo / step), std::floor(m.hi / step)) * step;
        break;
      }
    }
  }
}

double fixed_value(std::size_t index, unsigned width, unsigned seed) {
  const double i = static_cast<double>(index);
  if (width == 1) return static_cast<double>((index + seed) % 256);
  if (width == 2) return 3 * i - 4000 + seed;
  return (i - 1000) / 2 + seed;
}

}  // namespace sim
