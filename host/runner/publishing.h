#pragma once

// qrn-host's wiring of the edge node (publish/edge_node.h): the
// configuration's section and devices, and the record sink that hands it the
// devices' records and round reports.
#include "config.h"
#include "edge_node.h"
#include "record_sinks.h"

#include <string>

// Starts, restarts or stops publishing as `config` says (EdgeNode::apply).
bool apply_publishing(EdgeNode& node, const HostConfig& config, std::string& error);

// The record sink that feeds an EdgeNode (which outlives it).
class PublisherSink : public RecordSink {
 public:
  explicit PublisherSink(EdgeNode& node) : node_(node) {}
  void take(const Handed& item) override;

 private:
  EdgeNode& node_;
};
