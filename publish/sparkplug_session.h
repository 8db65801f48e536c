#pragma once

// The edge node's Sparkplug session on the broker link: whether births are
// due or said, the message sequence, the topics, and the node's and devices'
// births and deaths. Publishing thread only, but for the const members,
// which the link's thread uses too.
#include "log.h"
#include "mqtt_link.h"
#include "round_report.h"
#include "sparkplug_payload.h"
#include "sparkplug_settings.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>

using EdgeLog = std::function<void(const std::string& line, LogPriority priority)>;

class SparkplugSession {
 public:
  enum class State {
    Dead,      // no births said on this connection, none due
    BirthDue,  // births on the next chance, with the spool's progress anew
    Born,      // NBIRTH said on this connection
  };
  // The primary host as its STATE message last said.
  enum class PrimaryHost { Unknown, Offline, Online };
  // What a message from the broker asks; a STATE's `timestamp` (ms since
  // the epoch, -1 when it has none).
  enum class Heard { Nothing, Rebirth, PrimaryOffline, PrimaryOnline };
  struct Message {
    Heard heard = Heard::Nothing;
    int64_t timestamp = -1;
  };

  SparkplugSession(const SparkplugConfig& config, mqtt::Link& link, EdgeLog log);

  std::string topic(const char* type, const std::string& device = "") const;
  // A message on a subscribed topic (the link's thread); refusals are said.
  Message heard(const std::string& topic, const unsigned char* data, std::size_t size) const;

  State state() const { return state_; }
  bool born() const { return state_ == State::Born; }
  // A connection came or went: the births are due on the next chance.
  void connection_changed() { state_ = State::BirthDue; }
  // On a new connection: the commands and the primary host's state.
  void subscribe();
  // Whether records may go out now: connected and, with a primary host, it
  // online. A change is said; publishing allowed again makes births due.
  bool look(PrimaryHost primary);

  // NBIRTH, the sequence from 0: born when it went out; else the births stay
  // due when `anew` (they were).
  bool node_birth(uint64_t bd_seq, bool anew);
  // DBIRTH from `record`, or with every point null when it is null.
  bool device_birth(uint32_t device_id, const unsigned char* record, uint64_t round_seq,
                    const qrn_report::RoundReport* report);
  // NDEATH said by the node itself (a clean end): what the will would say.
  bool node_death(uint64_t bd_seq);
  // The primary host went offline while born: NDEATH (`bd_seq`, the
  // connection's), then the link leaves the connection for the next server.
  void leave(uint64_t bd_seq);
  // DDATA with `qos`: `token` the publish's, reported when written (QoS 0) or
  // acknowledged (QoS 1). Unsent, `state` (which already holds the record)
  // is cleared: the next DDATA carries every point.
  bool device_data(uint32_t device_id, const unsigned char* record, uint64_t round_seq,
                   const qrn_report::RoundReport* report, bool historical,
                   sparkplug::DeviceState& state, int qos, uint64_t& token);
  bool device_death(uint32_t device_id);

  // Messages sent on a live connection, per type (mqtt::Link::sent), and the
  // bytes of the topics and payloads handed to the link.
  std::map<std::string, uint64_t> counts() const { return link_.sent(); }
  uint64_t bytes() const { return bytes_; }

 private:
  bool publish(const char* type, const std::string& device, const sparkplug::Bytes& payload,
               int qos, uint64_t* token);

  const SparkplugConfig config_;
  const std::string prefix_;  // "spBv1.0/<group>/"
  const sparkplug::Compression compression_;  // of DBIRTH and DDATA
  mqtt::Link& link_;
  const EdgeLog log_;
  State state_ = State::Dead;
  bool was_online_ = false;  // publishing allowed at the last look
  unsigned seq_ = 0;         // the node's message sequence, 0..255
  uint64_t bytes_ = 0;
};
